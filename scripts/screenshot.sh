#!/usr/bin/env bash
# Shows the upgrade window on a private Xvfb display, under the Openbox window manager
# when it is installed, and writes PNG pictures of it.
#   scripts/screenshot.sh [--all] [output folder]
# --all adds a progress window, the commit window while the commit holds the thread and
# the screen after it went, the outcome box with its details opened, the status after a
# refused connection with its tool tip, the confirmation box, the general error report
# and the folder dialog. The build folder is P_UPDATE_BUILD (default: build).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
all=""
if [ "${1:-}" = "--all" ]; then
  all="--all"
  shift
fi
out="${1:-$root/screenshots}"
build="${P_UPDATE_BUILD:-$root/build}"
mkdir -p "$out"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target pupdate_screenshots -j2 >/dev/null
tool="$build/src/ui/pupdate_screenshots"

# A free display number, from 90 up.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done

Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
wm_pid=""
ready="$(mktemp -u)"
stop() {
  [ -z "$wm_pid" ] || kill "$wm_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -f "$ready"
}
trap stop EXIT

# Wait until the server accepts clients.
for _ in $(seq 1 100); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  sleep 0.1
done

# A window manager frames, stacks and maps the windows as on an operator's desktop;
# Openbox runs the given command once it manages the screen.
if command -v openbox >/dev/null; then
  DISPLAY=":$display" openbox --sm-disable --startup "touch $ready" >/dev/null 2>&1 &
  wm_pid=$!
  for _ in $(seq 1 100); do
    [ -e "$ready" ] && break
    sleep 0.1
  done
else
  echo "openbox is not installed: pictures without a window manager" >&2
fi

DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$tool" "$out" $all
