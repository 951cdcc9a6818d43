#!/bin/bash
# Kills a process running transactions at random moments, ROUNDS times
# (default 500), and checks each time that the copy of its file taken when
# the log began, recovered from the log, holds what the log prescribes:
# everything but rolled-back transactions by default, exactly the committed
# ones with isRecoverRollback = 1.  Runs the TxnCrash test of the suite with
# WISAM_CRASH_ROUNDS and WISAM_CRASH_SEED (default 1; a failure names the
# seed that replays it with one round).  With --sanitize it builds and runs
# the suite under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/crash-recover.sh [--sanitize] [ROUNDS [FIRST_SEED]]
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/crash-rounds.sh
crash_rounds 500 WISAM_CRASH_ROUNDS WISAM_CRASH_SEED 'TxnCrash.*' "$@"
