# A private X display for windows under test and for pictures of them: Xvfb on a display
# number it picks itself among the free ones, under the Openbox window manager, which
# frames, stacks and maps the windows as on an operator's desktop. Source this file, then
#   start_x_display   starts both and exports DISPLAY
#   stop_x_display    ends both
x_display_server=""
x_display_manager=""

start_x_display() {
  local number ready
  number="$(mktemp)"
  ready="$(mktemp -u)"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
  x_display_server=$!
  for _ in $(seq 1 100); do
    [ -s "$number" ] && break
    sleep 0.1
  done
  if [ ! -s "$number" ]; then
    echo "Xvfb did not start" >&2
    rm -f "$number"
    return 1
  fi
  export DISPLAY=":$(tr -d '\n' <"$number")"
  rm -f "$number"
  # Openbox runs the given command once it manages the screen.
  if command -v openbox >/dev/null; then
    openbox --sm-disable --startup "touch $ready" >/dev/null 2>&1 &
    x_display_manager=$!
    for _ in $(seq 1 100); do
      [ -e "$ready" ] && break
      sleep 0.1
    done
    rm -f "$ready"
  else
    echo "openbox is not installed: windows without a window manager" >&2
  fi
}

stop_x_display() {
  [ -z "$x_display_manager" ] || kill "$x_display_manager" 2>/dev/null || true
  [ -z "$x_display_server" ] || kill "$x_display_server" 2>/dev/null || true
  [ -z "$x_display_server" ] || wait "$x_display_server" 2>/dev/null || true
  x_display_manager=""
  x_display_server=""
}
