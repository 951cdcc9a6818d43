#!/bin/bash
# Builds the library and the wisam tool, then runs `wisam demo`: a sample
# file with three indexes, 100 000 records written, read back through every
# index, some deleted and rewritten, counts checked, timings printed.
# Installs the build tools with apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/csv.h ] || need+=(libcsv-dev)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DWISAM_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target wisam_tool
build/release/wisam demo "$@"
