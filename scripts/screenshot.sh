#!/usr/bin/env bash
# Shows the windows on a private Xvfb display under the Openbox window manager
# (scripts/x-display.sh) and writes PNG pictures of them.
#   scripts/screenshot.sh [--all] [output folder]
#   scripts/screenshot.sh --windows [output folder]
# The Qt upgrade window; --all adds a progress window, the commit window while the commit
# holds the thread and the screen after it went, the outcome box with its details opened,
# the status after a refused connection with its tool tip, the confirmation box, the
# general error report and the folder dialog. The build folder is P_UPDATE_BUILD (default:
# build).
# --windows: the Windows window program, P_Update.exe, under Wine in a zh_CN.UTF-8 locale,
# driven through its scenarios by the Windows window tests, which take a picture of the
# screen (`import -window root`) in each state: windows_*.png.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
all=""
windows=""
case "${1:-}" in
--all)
  all="--all"
  shift
  ;;
--windows)
  windows=1
  shift
  ;;
esac
out="$(mkdir -p "${1:-$root/screenshots}" && cd "${1:-$root/screenshots}" && pwd)"
. "$root/scripts/x-display.sh"

if [ -n "$windows" ]; then
  "$root/scripts/build-windows.sh" >/dev/null
  wine="$root/build-windows/wine-run"
  export WINEPREFIX="$root/build-windows/wine-prefix"
  export P_UPDATE_WINE_LOCALE=zh_CN.UTF-8
  stop() {
    "$wine" --stop-server
    stop_x_display
  }
  trap stop EXIT
  # Up before the wineserver: Wine's desktop draws on the display of its first program.
  start_x_display
  "$wine" --start-server
  P_UPDATE_SCREENSHOTS="$out" \
    P_UPDATE_SCREENSHOT_TOOL="$("$wine" winepath -w "$(command -v import)" | tr -d '\r')" \
    "$wine" "$root/build-windows/tests/windows_window/windows_window_tests.exe"
  ls "$out"/windows_*.png
  exit 0
fi

build="${P_UPDATE_BUILD:-$root/build}"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target pupdate_screenshots -j2 >/dev/null
tool="$build/tools/screenshots/pupdate_screenshots"

trap stop_x_display EXIT
start_x_display
QT_QPA_PLATFORM=xcb "$tool" "$out" $all
