#!/bin/bash
# Builds and runs wisam-engine-bench: the index engine next to std::map on
# random inserts, greater-or-equal probes and a full walk.  Installs the
# build tools and Google Benchmark with apt-get when they are missing.
# Arguments go to the benchmark (--benchmark_filter=walk ...); WISAM_BENCH_N
# sets the number of keys (default 1 000 000).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DWISAM_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target wisam-engine-bench >&2
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
build/bench/bench/wisam-engine-bench "$@"
