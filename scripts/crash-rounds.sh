# Shared by the crash scripts: builds the suite (sanitized with --sanitize)
# and runs one group of its kill tests for a number of rounds.
#   crash_rounds DEFAULT_ROUNDS ROUNDS_VARIABLE SEED_VARIABLE FILTER [--sanitize] [ROUNDS [SEED]]
crash_rounds() {
    local default_rounds=$1 rounds_variable=$2 seed_variable=$3 filter=$4
    shift 4
    local build=build/crash
    local options=(-DWISAM_BENCH=OFF)
    if [ "${1:-}" = "--sanitize" ]; then
        build=build/crash-sanitize
        options+=(-DWISAM_SANITIZE=ON)
        shift
    fi
    local rounds=${1:-$default_rounds} seed=${2:-1}
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target wisam_tests
    env "$rounds_variable=$rounds" "$seed_variable=$seed" \
        "$build/tests/wisam_tests" --gtest_filter="$filter" --gtest_brief=0
}
