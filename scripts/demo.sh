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

# A client with one user, and a standing program for it: the client's
# KVRREC_ORACLE.EXE jobs and the system program ArchivZug.exe run this small
# program, which waits until it is ended.
sqlite3 kvr.db <<'SQL'
insert or ignore into "KVSYSTEM.KVR112MND" (MNDLIZ, MNDNUM, MNDSCH, MNDNA1, MNDKON)
  values ('12345', '01', 'MANDANT1', 'Demo-Mandant', 0);
insert or ignore into "MANDANT1.KVR303SBE" (SBEDTQ, SBEPNR, SBEQEV) values ('anna', '17', 1);
SQL
if [ ! -x KVRREC_ORACLE.EXE ]; then
  printf '#include <unistd.h>\nint main() { for (;;) pause(); }\n' |
    g++ -x c++ - -o KVRREC_ORACLE.EXE
fi
cp -f KVRREC_ORACLE.EXE ArchivZug.exe

cat <<INFO
Program directory: $prog
  main log:  $prog/KVRJOBCTL.LOG
  database:  $prog/kvr.db   (queue: table "KVSYSTEM.KVR500JOB")
The client MANDANT1 gets its standing programs (KVRREC_ORACLE.EXE) and the
system jobs (export, MAP, daily, interval) are registered at start-up; see
them, or register a job, from another terminal, for example:
  cd $prog && ./kvrjobctl list
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
