#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (folder build-fuzz) and runs each for a bounded time.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
#
# Each target starts from its seed corpus in tests/fuzz/corpus/<target>; what it finds on
# the way is kept in build-fuzz/corpus/<target>, so the committed seeds stay small. A crash
# or a broken property leaves its input in build-fuzz/artifacts/<target>/ and makes the
# script fail; such an input belongs in a regression test of the normal suites.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-60}
shift || true
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  targets=(command_line_fuzz update_list_fuzz settings_fuzz script_reader_fuzz code_page_fuzz)
fi

build=${P_UPDATE_FUZZ_BUILD:-$root/build-fuzz}
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DP_UPDATE_FUZZ=ON -DP_UPDATE_BUILD_UI=OFF -DP_UPDATE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" -j2

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  log=$build/$target.log
  echo "== $target: ${seconds}s"
  # One job, so that the time bound is the time spent; -rss_limit_mb keeps a runaway
  # allocation a finding rather than a stalled machine.
  if "$build/tests/fuzz/$target" "$corpus" "$root/tests/fuzz/corpus/$target" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" | tail -n 2 || true
  else
    echo "!! $target failed; see $log and $artifacts/"
    tail -n 40 "$log"
    failed+=("$target")
  fi
done

echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
