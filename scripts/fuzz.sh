#!/bin/bash
# Fuzzes the reading of damaged files, the handling of forged or damaged
# rollback journals beside them, and recovery from damaged transaction
# logs for SECONDS seconds (default 60): builds the fuzz target with clang
# (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) in build/fuzz,
# generates its seed corpus of small valid files and logs (the generator
# fails when a log seed does not recover) and runs the target from it.
# Every run starts from the seeds; the inputs it found that add coverage are
# left in build/fuzz/corpus (a longer run can start from them: pass that
# directory to the target).
# The exit status is non-zero on any finding; its input is left in
# build/fuzz/findings/ and replays with `build/fuzz/tests/wisam_fuzz FILE`.
# Installs clang and its fuzzer runtime with apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz

# Links an empty fuzz target: the compiler and the fuzzer runtime are there.
fuzzer_links() {
    local probe
    probe=$(mktemp -d)
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' \
        >"$probe/probe.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1
    local status=$?
    rm -rf "$probe"
    return $status
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v clang++ >/dev/null || need+=(clang)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi
if ! fuzzer_links; then
    # The runtime comes in a package named for clang's major version.
    major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
    apt-get update -qq && apt-get install -y -qq "libclang-rt-${major}-dev"
    fuzzer_links || { echo "fuzz: clang cannot link a fuzz target" >&2; exit 1; }
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DWISAM_BENCH=OFF -DWISAM_SANITIZE=ON -DWISAM_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target wisam_fuzz wisam_fuzz_seeds

rm -rf "$build/seeds" "$build/corpus"
mkdir -p "$build/seeds" "$build/corpus" "$build/findings"
"$build/tests/wisam_fuzz_seeds" "$build/seeds"

log="$build/fuzz.log"
status=0
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/tests/wisam_fuzz" "$build/corpus" "$build/seeds" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/findings/" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz: FINDING after ${executions:-?} executions (exit status $status); input in $build/findings/" >&2
    exit 1
fi
echo "fuzz: ${executions:-0} executions in ${seconds} s, no finding ($(ls "$build/corpus" | wc -l) new inputs kept)"
