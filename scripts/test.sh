#!/bin/bash
# Builds the library and its test suite twice (plain, and with AddressSanitizer
# + UndefinedBehaviorSanitizer) and runs every test, then fuzzes for a minute.
# Installs the build tools with apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

jobs=$(nproc)
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWISAM_BENCH=OFF -DWISAM_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suite build/test
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build/sanitize -DWISAM_SANITIZE=ON

# A minute of fuzzing the reading of damaged files (scripts/fuzz.sh): no
# crash, hang, leak or stray read; prints the number of executions.
bash scripts/fuzz.sh 60
