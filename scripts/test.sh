#!/usr/bin/env bash
# The test command: installs what is missing, builds, starts a throwaway
# PostgreSQL cluster, runs every test, then builds again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test again.
# Stops and removes what it started, also on failure. Exits non-zero on any
# failure. Ends with a short fault-injection run per engine (scripts/chaos.sh,
# a fixed seed, KVR_TEST_CHAOS_MINUTES minutes each, 2 by default) with the
# fault kinds that hold today (KVR_TEST_CHAOS_FAULTS chooses others);
# KVR_TEST_CHAOS=0 leaves them out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install_deps.sh

pgdir=$(mktemp -d /tmp/kvr-test-pg.XXXXXX)
cleanup() { "$root/scripts/pg_cluster.sh" stop "$pgdir" || true; }
trap cleanup EXIT
eval "$(scripts/pg_cluster.sh start "$pgdir")"

jobs=${KVR_TEST_JOBS:-2}
status=0

echo "== formatting (.clang-format)"
if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror; then
  echo "the files above differ from .clang-format: run"
  echo "  git ls-files '*.cpp' '*.h' | xargs clang-format -i"
  status=1
fi
echo "== layers (no include of a folder above its own)"
scripts/check_layers.sh || status=1

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" || status=1
}

echo "== build and test"
run_suite build
echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
run_suite build-asan -DKVR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

echo "== the checks of the fault-injection run"
python3 scripts/chaos/test_checks.py 2>&1 | tail -n 1 || status=1
# The short fault-injection runs, both engines at once to save their
# minutes (the programs are built and the packages installed by now, so
# the harness is started without scripts/chaos.sh's own set-up). Every
# fault kind; each run uses those of its engine.
chaos_faults=kill,stop,term,busy,lockfile,msgtable,fallback,badrow,pgfast,pgimmediate,pgfailover
if [ "${KVR_TEST_CHAOS:-1}" != 0 ]; then
  chaos_out=$(mktemp -d /tmp/kvr-test-chaos.XXXXXX)
  chaos_pids=()
  for engine in sqlite postgres; do
    python3 scripts/chaos/chaos.py --root "$root" --engine "$engine" --seed 20261208 \
      --minutes "${KVR_TEST_CHAOS_MINUTES:-2}" --faults "${KVR_TEST_CHAOS_FAULTS:-$chaos_faults}" \
      >"$chaos_out/$engine" 2>&1 &
    chaos_pids+=($!)
  done
  for i in 0 1; do wait "${chaos_pids[$i]}" || status=1; done
  for engine in sqlite postgres; do
    echo "== fault-injection run on $engine (scripts/chaos.sh)"
    cat "$chaos_out/$engine"
  done
  rm -rf "$chaos_out"
fi

if [ $status -ne 0 ]; then
  echo "tests FAILED"
  exit 1
fi
echo "all tests passed"
