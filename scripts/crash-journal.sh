#!/bin/bash
# Kills processes writing one file with the rollback journal on, ROUNDS
# times (default 400), and checks after each kill that the file holds every
# acknowledged change, the change in flight whole or not at all, and indexes
# that agree with the data: first as a process death (isJournalMode 1), then
# as a power loss that keeps, drops or tears every unsynced write
# (isJournalMode 2).  Runs the JournalKill tests of the suite with
# WISAM_KILL_ROUNDS and WISAM_KILL_SEED.  With --sanitize it builds and runs
# them under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/crash-journal.sh [--sanitize] [ROUNDS [SEED]]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/crash
options=(-DWISAM_BENCH=OFF)
if [ "${1:-}" = "--sanitize" ]; then
    build=build/crash-sanitize
    options+=(-DWISAM_SANITIZE=ON)
    shift
fi
rounds=${1:-400}
seed=${2:-1}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target wisam_tests
WISAM_KILL_ROUNDS=$rounds WISAM_KILL_SEED=$seed \
    "$build/tests/wisam_tests" --gtest_filter='JournalKill.*' --gtest_brief=0
