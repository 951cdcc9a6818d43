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

. scripts/crash-rounds.sh
crash_rounds 400 WISAM_KILL_ROUNDS WISAM_KILL_SEED 'JournalKill.*' "$@"
