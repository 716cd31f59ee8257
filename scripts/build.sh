#!/usr/bin/env bash
# Installs what is missing and builds everything into build/ (the program is build/P_Update).
#   scripts/build.sh [target ...]    only these targets (the demo: P_Update)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" ${1:+--target "$@"}
