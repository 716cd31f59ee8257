#!/usr/bin/env bash
# Cross-builds the Windows programs into build-windows/ with Debian's mingw-w64: the
# window program P_Update.exe, the console program P_Update.com and the test programs
# (.exe, the C++ runtime linked in). GoogleTest is built for Windows from Debian's sources once, into
# build-windows/googletest. The tests run under Wine: scripts/test-windows.sh.
#   scripts/build-windows.sh [target ...]    only these targets (the demo: P_Update); a
#   build folder that has no tests yet then stays without them, and GoogleTest unbuilt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows

toolchain="$PWD/cmake/mingw-w64-x86_64.cmake"
gtest="$PWD/build-windows/googletest"
tests=ON
if [ $# -gt 0 ] && [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  tests=OFF
fi
if [ "$tests" = ON ] && [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$gtest/install" \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$gtest/build" -j"$(nproc)"
  cmake --install "$gtest/build" >/dev/null
fi

cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$gtest/install" \
  -DP_UPDATE_BUILD_UI=OFF -DP_UPDATE_BUILD_TESTS=$tests >/dev/null
cmake --build build-windows -j"$(nproc)" ${1:+--target "$@"}
