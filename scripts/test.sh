#!/usr/bin/env bash
# The test command, in four stages, each printing its time:
#   linux    builds into build/ and runs every test through CTest
#   windows  the Windows programs, cross-built with mingw-w64, and their tests under Wine
#            (scripts/test-windows.sh, folder build-windows)
#   asan     the whole Linux suite once more, built with AddressSanitizer and
#            UndefinedBehaviorSanitizer (folder build-asan)
#   fuzz     a few seconds of each fuzz target (scripts/fuzz.sh, folder build-fuzz)
#
#   scripts/test.sh [stage ...] [CTest arguments ...]
#
# With no stage it runs all four, as CI does. Further arguments go to every CTest run.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

stages=()
while [ $# -gt 0 ]; do
  case "$1" in
  linux | windows | asan | fuzz) stages+=("$1") ;;
  -*) break ;;
  *)
    # A mistyped stage must not run the whole command: CTest's arguments begin with '-'.
    echo "scripts/test.sh: unknown stage '$1' (stages: linux windows asan fuzz; CTest options begin with -)" >&2
    exit 2
    ;;
  esac
  shift
done
[ "${#stages[@]}" -gt 0 ] || stages=(linux windows asan fuzz)

# The window tests draw on Qt's offscreen platform; nothing needs a display.
export QT_QPA_PLATFORM=offscreen

stage_linux() {
  scripts/build.sh
  (cd build && ctest --output-on-failure -j"$(nproc)" "$@")
}

stage_windows() {
  scripts/test-windows.sh "$@"
}

stage_asan() {
  # Any report of the sanitizers ends the program that made it, so it fails its test.
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DP_UPDATE_SANITIZE=ON \
    >/dev/null
  cmake --build build-asan -j"$(nproc)"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd build-asan && ctest --output-on-failure -j"$(nproc)" "$@")
}

stage_fuzz() {
  scripts/fuzz.sh "${P_UPDATE_FUZZ_SECONDS:-5}"
}

for stage in "${stages[@]}"; do
  begun=$SECONDS
  "stage_$stage" "$@"
  echo "== $stage: $((SECONDS - begun)) s (total $((SECONDS - start)) s)"
done
