#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest; then the Windows
# build's tests under Wine (scripts/test-windows.sh, folder build-windows). Then the whole
# suite once more, built with AddressSanitizer and UndefinedBehaviorSanitizer (folder
# build-asan), and a few seconds of each fuzz target (scripts/fuzz.sh, folder build-fuzz).
# Arguments go to both CTest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

scripts/build.sh
# The window tests draw on Qt's offscreen platform; nothing needs a display.
export QT_QPA_PLATFORM=offscreen
(cd build && ctest --output-on-failure -j"$(nproc)" "$@")
echo "== tests: $((SECONDS - start)) s"

# The Windows programs, cross-built with mingw-w64, and their tests under Wine.
scripts/test-windows.sh "$@"
echo "== windows tests: $((SECONDS - start)) s"

# Any report of the sanitizers ends the program that made it, so it fails its test.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DP_UPDATE_SANITIZE=ON \
  >/dev/null
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$(nproc)" "$@")
echo "== sanitized tests: $((SECONDS - start)) s"

scripts/fuzz.sh "${P_UPDATE_FUZZ_SECONDS:-5}"
echo "== fuzzing: $((SECONDS - start)) s"
