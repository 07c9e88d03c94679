#!/usr/bin/env bash
# The demo: installs what is missing, builds what is not built, lays out a
# program directory with an SQLite database, starts the watching service with
# the controller as its child and shows the main log as it grows. Ctrl-C
# stops the service; the controller then ends its jobs and exits.
#   scripts/demo.sh [--instance N] [FOLDER]   (default: a new temporary folder)
# --instance N runs instance N (socket kvrjobctlN), beside a service that
# already serves the default one. KVR_DEMO_BIN names another build's bin/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() { echo "usage: scripts/demo.sh [--instance N] [FOLDER]" >&2; exit 2; }
instance=""
base=""
while [ $# -gt 0 ]; do
  case "$1" in
    --instance) [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || usage; instance=$2; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) usage ;;
    *) [ -z "$base" ] || usage; base=$1; shift ;;
  esac
done

bin=${KVR_DEMO_BIN:-$root/build/bin}
if [ ! -x "$bin/KVRJOBSTR" ] || [ ! -x "$bin/kvrjobsvc" ] || [ ! -x "$bin/kvrjobctl" ]; then
  scripts/install_deps.sh
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build --target KVRJOBSTR kvrjobsvc kvrjobctl
  bin=$root/build/bin
fi

base=${base:-$(mktemp -d /tmp/kvrdemo.XXXXXX)}
prog="$base/jobctl"
mkdir -p "$prog" "$base/veltronia_php/log" "$base/veltronia_php/KV_Jobs" \
  "$base/veltronia_php/map/urlaubstafel"
cp "$bin/KVRJOBSTR" "$bin/kvrjobctl" "$prog/"
cd "$prog"
# Room for the standing programs below (about five) and for the jobs the
# text at the end suggests; each job's output goes to joboutput/.
[ -f KVRJOBCTL.INI ] ||
  printf '[JOBATR]\nMAXJOBS=10\nDBGLOG=0\nMAXLOGSIZE=5\nJOBOUTDIR=joboutput\n' > KVRJOBCTL.INI
./kvrjobctl credentials --file VELTRONIA.INI --service sqlite:kvr.db --schema KVSYSTEM \
  --login kvr --password demo --db-system ORACLE >/dev/null
./kvrjobctl init --sql-dir "$root/sql" >/dev/null

# A client with one user.
sqlite3 kvr.db <<'SQL'
insert or ignore into "KVSYSTEM.KVR112MND" (MNDLIZ, MNDNUM, MNDSCH, MNDNA1, MNDKON)
  values ('12345', '01', 'MANDANT1', 'Demo-Mandant', 0);
insert or ignore into "MANDANT1.KVR303SBE" (SBEDTQ, SBEPNR, SBEQEV) values ('anna', '17', 1);
SQL
# The product's programs the controller registers at start-up stand in as
# small programs here: the standing ones (KVRREC_ORACLE.EXE, QEV_ORACLE.EXE,
# ArchivZug.exe) wait until they are ended; the others (php for the PHP
# system jobs, exportlauf.bat) print what they were given and exit 0.
if [ ! -x KVRREC_ORACLE.EXE ]; then
  printf '#include <unistd.h>\nint main() { for (;;) pause(); }\n' |
    g++ -x c++ - -o KVRREC_ORACLE.EXE
fi
cp -f KVRREC_ORACLE.EXE QEV_ORACLE.EXE
cp -f KVRREC_ORACLE.EXE ArchivZug.exe
for stub in php exportlauf.bat; do
  printf '#!/bin/sh\necho "demo stand-in for %s: $*"\nexit 0\n' "$stub" > "$stub"
  chmod 0755 "$stub"
done

"$bin/kvrjobsvc" $instance -- "$prog/KVRJOBSTR" $instance 2> kvrjobsvc.log &
svc=$!
# The service says at once whether it could take its socket.
for _ in $(seq 50); do
  grep -q "listening on" kvrjobsvc.log 2>/dev/null && break
  kill -0 "$svc" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "listening on" kvrjobsvc.log 2>/dev/null; then
  cat kvrjobsvc.log >&2
  echo "demo: the watching service could not start (see the line above)." >&2
  echo "demo: another kvrjobsvc may serve this instance; try scripts/demo.sh --instance 7" >&2
  kill "$svc" 2>/dev/null || true
  exit 1
fi

cat <<INFO
Program directory: $prog
  main log:  $prog/KVRJOBCTL.LOG      service log: $prog/kvrjobsvc.log
  database:  $prog/kvr.db   (queue: table "KVSYSTEM.KVR500JOB")
The client MANDANT1 gets its standing programs (KVRREC_ORACLE.EXE,
QEV_ORACLE.EXE) and the system jobs (export, MAP, daily, interval) are
registered at start-up; see them, or register a job, from another terminal:
  cd $prog && ./kvrjobctl list
  cd $prog && ./kvrjobctl add --name DEMO --command "sleep 5" && ./kvrjobctl list
  cd $prog && ./kvrjobctl history
Ctrl-C stops the service; the controller then ends its jobs and exits.
INFO

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
