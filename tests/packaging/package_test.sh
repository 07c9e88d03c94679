#!/usr/bin/env bash
# Builds the Debian package from a build directory and checks what it holds:
# the three programs, the unit template naming the installed service, the
# table definitions, the man pages, the user definition and the maintainer
# scripts. Where systemd-analyze exists, the unit must pass its verify.
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/kvr-package-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for prog in KVRJOBSTR kvrjobsvc kvrjobctl; do
  [ -x "$build/bin/$prog" ] || { echo "FAIL: $build/bin/$prog is not built"; exit 1; }
done
for tool in cpack dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install_deps.sh installs it)"; exit 1; }
done

if ! (cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G DEB"
  exit 1
fi
debs=("$work"/out/kvrjobstr_*.deb)
[ -f "${debs[0]}" ] || { cat "$work/cpack.log"; echo "FAIL: no kvrjobstr_*.deb"; exit 1; }
deb=${debs[0]}
echo "built $(basename "$deb")"

dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
while read -r path; do
  grep -qx "$path" "$work/contents" || fail "package lacks $path"
done <<'LIST'
/usr/lib/kvrjobstr/KVRJOBSTR
/usr/bin/kvrjobsvc
/usr/bin/kvrjobctl
/usr/lib/systemd/system/kvrjobsvc@.service
/usr/lib/sysusers.d/kvrjobstr.conf
/usr/share/kvrjobstr/sql/postgres/01_kvsystem.sql
/usr/share/kvrjobstr/sql/sqlite/01_kvsystem.sql
/usr/share/man/man1/KVRJOBSTR.1
/usr/share/man/man1/kvrjobsvc.1
/usr/share/man/man1/kvrjobctl.1
/usr/share/doc/kvrjobstr/README.md
LIST
if grep -q "^/usr/bin/test_\|/build" "$work/contents"; then fail "package holds test programs or build paths"; fi

info=$(dpkg-deb --info "$deb")
for field in "Package: kvrjobstr" "Depends:.*libpq5" "Depends:.*libsqlite3" postinst postrm; do
  grep -q "$field" <<<"$info" || fail "control information lacks '$field'"
done

root="$work/root"
dpkg-deb --extract "$deb" "$root"
unit="$root/usr/lib/systemd/system/kvrjobsvc@.service"
for line in "Type=simple" "Restart=on-failure" "KillSignal=SIGTERM" "KillMode=mixed" \
    "ExecStart=/usr/bin/kvrjobsvc %i -- /var/lib/kvrjobstr/%i/KVRJOBSTR %i" \
    "ExecStartPre=/usr/bin/install -m 0755 /usr/lib/kvrjobstr/KVRJOBSTR /var/lib/kvrjobstr/%i/KVRJOBSTR" \
    "StandardOutput=journal" "StandardError=journal"; do
  grep -qxF "$line" "$unit" || fail "unit lacks the line '$line'"
done
# The stop timeout must exceed the service's own wait for the controller.
stop=$(sed -n 's/^TimeoutStopSec=//p' "$unit")
wait=$(sed -n 's/.*kDefaultStopWaitSeconds = \([0-9]*\);.*/\1/p' \
  "$(dirname "$0")/../../tools/kvrjobsvc/main.cpp")
if [ -z "$stop" ] || [ -z "$wait" ] || [ "$stop" -le "$wait" ]; then
  fail "TimeoutStopSec '$stop' is not above the service's stop wait '$wait'"
fi
"$root/usr/bin/kvrjobctl" --help >/dev/null || fail "the packaged kvrjobctl does not run"

if command -v systemd-analyze >/dev/null; then
  # An instance name of the template, with the packaged programs in place.
  mkdir -p "$work/units"
  cp "$unit" "$work/units/kvrjobsvc@3.service"
  sed -i "s|/usr/bin/kvrjobsvc|$root/usr/bin/kvrjobsvc|; s|/usr/lib/kvrjobstr/KVRJOBSTR|$root/usr/lib/kvrjobstr/KVRJOBSTR|" \
    "$work/units/kvrjobsvc@3.service"
  # Every complaint counts: verify reports some faults (an unknown value,
  # say) only as a warning and still succeeds.
  if ! systemd-analyze verify --man=no "$work/units/kvrjobsvc@3.service" >"$work/verify.log" 2>&1 ||
      [ -s "$work/verify.log" ]; then
    cat "$work/verify.log"
    fail "systemd-analyze verify"
  else
    echo "systemd-analyze verify: passed"
  fi
else
  echo "systemd-analyze verify: skipped, systemd-analyze is not installed"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package checks passed"
