#!/usr/bin/env bash
# Builds the Windows programs (scripts/build-windows.sh) and runs their tests under Wine
# through CTest, in build-windows' own Wine prefix, whose wineserver runs from before the
# first test to after the last. PostgreSQL and the TDS test server run on this machine
# (tests/wine/test_services from the Linux build) and are reached over TCP; Wine's odbc32
# hands the ODBC calls to this machine's unixODBC and its drivers. The window program's
# tests need an X display: a private Xvfb with Openbox (scripts/x-display.sh), up before
# the wineserver, since Wine's desktop draws on the display of the first program that
# needs it and keeps it for the life of the server. Arguments go to CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

scripts/build-windows.sh
echo "== windows build: $((SECONDS - start)) s"

[ -f build/build.ninja ] || scripts/build.sh
cmake --build build -j"$(nproc)" --target test_services

export WINEPREFIX=$PWD/build-windows/wine-prefix
. scripts/x-display.sh
stop_server() {
  build-windows/wine-run --stop-server
  stop_x_display
}
trap stop_server EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
start_x_display
build-windows/wine-run --start-server

build/tests/wine/test_services \
  ctest --test-dir build-windows --output-on-failure -j"$(nproc)" "$@"
echo "== windows tests under Wine: $((SECONDS - start)) s"
