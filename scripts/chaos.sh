#!/usr/bin/env bash
# The fault-injection run: two controllers on one queue under kvrjobsvc, a
# workload of real jobs, random faults drawn from a seed, and invariants
# checked from outside at the end. Installs what is missing, builds what is
# not built, starts what it needs (on PostgreSQL a primary and a streaming
# standby) and stops and removes it all; a failed run keeps its folder.
#   scripts/chaos.sh [--engine sqlite|postgres] [--minutes N] [--seed S]
#                    [--faults KIND,...] [--help]
# Exits non-zero when an invariant fails, printing the seed to replay it.
# Runs as root (it mounts a small tmpfs and runs PostgreSQL as postgres).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

for arg in "$@"; do
  case $arg in -h|--help) exec python3 scripts/chaos/chaos.py --help ;; esac
done
scripts/install_deps.sh
if ! command -v cc >/dev/null 2>&1; then  # the binary job is built with it
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq gcc
fi
if [ ! -x build/bin/KVRJOBSTR ] || [ ! -x build/bin/kvrjobsvc ] || [ ! -x build/bin/kvrjobctl ]; then
  cmake -S . -B build -G Ninja >/dev/null
fi
# Brings the programs up to date (a no-op when they are).
cmake --build build --target KVRJOBSTR kvrjobsvc kvrjobctl >/dev/null

exec python3 scripts/chaos/chaos.py --root "$root" "$@"
