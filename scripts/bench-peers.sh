#!/bin/bash
# Builds and runs wisam-bench: wisam (exclusive with a kept lock, and shared)
# next to LMDB, SQLite 3, Berkeley DB 5.3 and a std::map baseline on the same
# record workloads, with a maintenance pass (wisam's checks, index rebuilds
# and isCluster with the clustered primary scan W3c; SQLite integrity_check,
# Berkeley DB verify), then 2 writer and 2 reader processes on one store
# (wisam shared, LMDB, SQLite WAL, Berkeley DB Concurrent Data Store), then
# durable commits of small transactions, 1 and 100 inserts each (wisam with
# a log and isForceCommit, SQLite WAL synchronous=FULL, Berkeley DB
# DB_TXN_SYNC, LMDB in its synchronous default), then variable-length
# records of 50 to 2 000 bytes (wisam plain and packed).
# Installs the build tools and the peers' development packages with apt-get
# when they are missing; a peer that still is not found is left out of the
# program.  Arguments go to wisam-bench (-n N, --single, --multi, --durable,
# --varlen, --no-maint, --commits C, --rounds R, --csv, --svg FILE, ...);
# without --single, --multi, --durable or --varlen all four run.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/db.h ] || need+=(libdb5.3-dev)
[ -f /usr/include/lmdb.h ] || need+=(liblmdb-dev)
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B build/peerbench -DCMAKE_BUILD_TYPE=Release -DWISAM_TESTS=OFF -DWISAM_BENCH=ON >/dev/null
cmake --build build/peerbench -j "$(nproc)" --target wisam-bench >&2
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
build/peerbench/bench/peers/wisam-bench "$@"
