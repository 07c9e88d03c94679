#!/usr/bin/env bash
# The demo: installs what is missing, builds what is not built, lays out a
# program directory with an SQLite database, starts the watching service with
# the controller as its child and shows the main log as it grows. Ctrl-C
# stops the service; the controller then ends its jobs and exits.
#   scripts/demo.sh [FOLDER]     (default: a new temporary folder)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install_deps.sh
if [ ! -x build/bin/KVRJOBSTR ] || [ ! -x build/bin/kvrjobsvc ] || [ ! -x build/bin/kvrjobctl ]; then
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build --target KVRJOBSTR kvrjobsvc kvrjobctl
fi

base=${1:-$(mktemp -d /tmp/kvrdemo.XXXXXX)}
prog="$base/jobctl"
mkdir -p "$prog" "$base/veltronia_php/log"
cp build/bin/KVRJOBSTR build/bin/kvrjobctl "$prog/"
cd "$prog"
[ -f KVRJOBCTL.INI ] || printf '[JOBATR]\nMAXJOBS=3\nDBGLOG=0\nMAXLOGSIZE=5\n' > KVRJOBCTL.INI
./kvrjobctl credentials --file VELTRONIA.INI --service sqlite:kvr.db --schema KVSYSTEM \
  --login kvr --password demo --db-system ORACLE
./kvrjobctl init --sql-dir "$root/sql"

cat <<INFO
Program directory: $prog
  main log:  $prog/KVRJOBCTL.LOG
  database:  $prog/kvr.db   (queue: table "KVSYSTEM.KVR500JOB")
Register a job from another terminal, for example:
  cd $prog && ./kvrjobctl add --name DEMO --command "sleep 5" && ./kvrjobctl list
Ctrl-C stops the service; the controller then ends its jobs and exits.
INFO

"$root/build/bin/kvrjobsvc" -- "$prog/KVRJOBSTR" &
svc=$!
touch KVRJOBCTL.LOG
tail -n +1 -F KVRJOBCTL.LOG &
tailpid=$!
stop() {
  kill -TERM "$svc" 2>/dev/null || true
  wait "$svc" 2>/dev/null || true
  sleep 0.5
  kill "$tailpid" 2>/dev/null || true
}
trap stop INT TERM
wait "$svc" || true
kill "$tailpid" 2>/dev/null || true
