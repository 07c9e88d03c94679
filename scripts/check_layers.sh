#!/usr/bin/env bash
# Fails when a file includes a folder above its own layer. The layers, lowest
# first: platform < core < db < messages < exec < jobs < housekeeping <
# controller < tools (src/main.cpp counts as the controller's program).
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(platform core db messages exec jobs housekeeping controller tools)
rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
  done
  echo -1
}

status=0
while IFS= read -r file; do
  case "$file" in
    src/main.cpp) own=controller ;;
    src/*/*) own=${file#src/}; own=${own%%/*} ;;
    tools/*) own=tools ;;
    *) continue ;;
  esac
  own_rank=$(rank "$own")
  while IFS=: read -r line target; do
    folder=${target%%/*}
    target_rank=$(rank "$folder")
    if [ "$target_rank" -gt "$own_rank" ]; then
      echo "$file:$line includes $target ($folder is above $own)"
      status=1
    fi
  done < <(grep -nE '^\s*#\s*include\s+"[a-z_]+/' "$file" | sed -E 's/^([0-9]+):.*"([^"]+)".*/\1:\2/')
done < <(git ls-files 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h')

[ $status -eq 0 ] && echo "layers: no file includes a folder above its own"
exit $status
