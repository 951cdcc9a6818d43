#!/bin/bash
# Builds the library and its test suite twice (plain, and with AddressSanitizer
# + UndefinedBehaviorSanitizer) and runs every test, then fuzzes for a minute.
# Installs the build tools with apt-get when they are missing, ccache among
# them: with it a second run compiles only what changed.
#
#   bash scripts/test.sh                 everything, as CI runs it
#   bash scripts/test.sh --quick         the plain build, its tests and the Python
#                                        and PostgreSQL tests
#   bash scripts/test.sh --quick -R tool ... and of those only the tests whose
#                                        names match (arguments after --quick
#                                        go to ctest)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v ccache >/dev/null || need+=(ccache)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
# The tool's schemas, JSON and CSV rows; the Python package's tests; the
# PostgreSQL server the export is tried against.
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/csv.h ] || need+=(libcsv-dev)
/usr/bin/python3 -c 'import pytest' 2>/dev/null || need+=(python3-pytest)
ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || need+=(postgresql)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

jobs=$(nproc)
ctest_args=("$@")
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWISAM_BENCH=OFF -DWISAM_WERROR=ON \
        "${launcher[@]}" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${ctest_args[@]}"
}

# The Python package (tests/python) and the export to a PostgreSQL server
# started for the test (tests/pg), through Debian's pytest, against the plain
# build: the sanitized library cannot be loaded into an uninstrumented python.
run_pytest() {
    WISAM_LIBRARY="$PWD/build/test/libwisam.so" WISAM_TOOL="$PWD/build/test/wisam" \
    PYTHONPATH="$PWD/python" PYTHONDONTWRITEBYTECODE=1 \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python tests/pg
}

run_suite build/test
# A filtered quick run (--quick -R ...) is about the suite's tests only.
[ ${#ctest_args[@]} -eq 0 ] && run_pytest
[ $quick -eq 1 ] && exit 0
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build/sanitize -DWISAM_SANITIZE=ON

# The thread tests under ThreadSanitizer, in a build of their own: a data
# race between calls of different threads stops the run.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWISAM_BENCH=OFF -DWISAM_WERROR=ON -DWISAM_TSAN=ON \
    "${launcher[@]}" >/dev/null
cmake --build build/tsan -j "$jobs" --target wisam_thread_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/tests/wisam_thread_tests

# A minute of fuzzing the reading of damaged files (scripts/fuzz.sh): no
# crash, hang, leak or stray read; prints the number of executions.
bash scripts/fuzz.sh 60
