#!/usr/bin/env bash
# Builds P_Update and the benchmark helpers (Release, folder build-bench or
# $P_UPDATE_BENCH_BUILD) and prints the benchmark table. Arguments go to bench/bench.py:
#
#   bench/run.sh                         everything, median of 3 runs
#   bench/run.sh --runs 5 --only copy    some of it
#
# It needs a few GiB of free space under the temporary folder and starts its own
# PostgreSQL cluster, which it stops again. Not part of the tests: no figure fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${P_UPDATE_BENCH_BUILD:-$root/build-bench}

scripts/install-deps.sh
cmake -S "$root/bench" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=(P_Update P_Update_check plain_odbc measured copy_bench check_bench)
if grep -q '^P_UPDATE_BUILD_UI:BOOL=ON' "$build/CMakeCache.txt"; then
  targets+=(progress_bench)
fi
cmake --build "$build" --target "${targets[@]}" -j2 >/dev/null

python3 "$root/bench/bench.py" --build "$build" "$@"
