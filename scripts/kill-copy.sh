#!/usr/bin/env bash
# Kills P_Update with SIGKILL at random moments of a copy of many files, a few dozen
# times in a row, checking after each kill that every installed file is either the old
# or the new one, whole, and at the end that the next run removes what the killed ones
# left and completes the copy. Too slow for every test run: CI kills four times
# (InstalledCopyTest.KilledCopyLeavesEveryFileWholeAndTheNextRunCleansUp).
# Usage: scripts/kill-copy.sh [kills, default 40] [seed, default random]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
P_UPDATE_KILLS="${1:-40}" P_UPDATE_KILL_SEED="${2:-$RANDOM}" \
  build/tests/faults/fault_tests \
  --gtest_filter='InstalledCopyTest.KilledCopyLeavesEveryFileWholeAndTheNextRunCleansUp'
