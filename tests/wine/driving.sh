# What the scripts that drive firmware-downloader.exe under Wine share:
# reading the windows shown, waiting for one, typing into one, screenshots
# and clicks. Sourced; expects $texts_exe (window_texts.exe), $WINE, $work
# (the script's temporary folder), $shots (where screenshots go, or empty)
# and, for click, $main (the main window's X id).
windows() { "$WINE" "$texts_exe" 2>/dev/null | tr -d '\r'; }
fail() {
  echo "FAIL: $*" >&2
  echo "Windows shown:" >&2
  windows >&2 || true
  echo "Instrument:" >&2
  tail -5 "$work/sim.err" >&2 || true
  exit 1
}
# Waits for a window whose line (caption|child texts) matches the pattern.
wait_for() {
  local pattern=$1 limit=${2:-30} line
  local end=$((SECONDS + limit))
  while ((SECONDS < end)); do
    if line=$(windows | grep -E -m1 -- "$pattern"); then
      echo "$line"
      return 0
    fi
    sleep 0.2
  done
  fail "no window showed /$pattern/ within ${limit} s"
}
# Waits until the window with this caption has the focus, then types keys.
in_window() {
  local caption=$1
  shift
  for _ in $(seq 100); do
    if [ "$(xdotool getactivewindow getwindowname 2>/dev/null)" = "$caption" ]; then
      xdotool "$@"
      return 0
    fi
    sleep 0.1
  done
  fail "the window '$caption' never got the focus"
}
# Waits until the control with this text has the keyboard focus.
focus_on() {
  for _ in $(seq 100); do
    [ "$("$WINE" "$texts_exe" --focus 2>/dev/null | tr -d '\r')" = "$1" ] && return 0
    sleep 0.1
  done
  fail "the focus never came to '$1'"
}
snap() { if [ -n "$shots" ]; then import -window root "$shots/$1.png"; fi; }
# Clicks the middle of a control of the main window, at its place in
# app/form.h: the window's X window holds the menu bar above the 145-pixel
# high client area.
click() {
  local left=$1 top=$2 width=$3 height=$4
  eval "$(xdotool getwindowgeometry --shell "$main")"
  xdotool mousemove --window "$main" $((left + width / 2)) $((HEIGHT - 145 + top + height / 2)) \
    click 1
}
