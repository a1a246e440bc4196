#!/usr/bin/env bash
# Runs MirvaleClient on a virtual display with a system tray, takes a screenshot of the
# screen once the window is up, and quits the program from its tray menu.
#   bash scripts/xvfb-session.sh PROGRAM SCREENSHOT [SECONDS] [--checks]
# SECONDS: how long the program stays up after the screenshot (default 3).
# --checks: also checks that the minimise button turns red under the mouse, and that a
#   second start reports the running instance and leaves its window as it was.
# Starts its own Xvfb (scripts/with-xvfb.sh) unless MV_XVFB_INNER is set, i.e. it is already inside.
set -euo pipefail

program="$1"
shot="$2"
hold="${3:-3}"
checks="${4:-}"
title="Zavrin管理工具"

if [ -z "${MV_XVFB_INNER:-}" ]; then
  export MV_XVFB_INNER=1
  exec bash "$(dirname "$0")/with-xvfb.sh" bash "$0" "$@"
fi

# shellcheck source=xvfb-lib.sh
. "$(dirname "$0")/xvfb-lib.sh"
fail() { echo "xvfb-session: $*" >&2; exit 1; }

tray_pid=""
prog_pid=""
cleanup() {
  [ -n "$prog_pid" ] && kill "$prog_pid" 2>/dev/null || true
  [ -n "$tray_pid" ] && kill "$tray_pid" 2>/dev/null || true
}
trap cleanup EXIT

start_tray_host 30 || fail "the tray host did not come up"
sleep 0.2

prog_name="$(basename "$program")"
"$program" &
prog_pid=$!

window_id() { visible_window "$title"; }
window_up() { [ -n "$(window_id)" ]; }
wait_for 60 window_up || fail "the main window did not appear"
win="$(window_id)"
sleep 1.5  # let the window paint
mkdir -p "$(dirname "$shot")"
import -window root "$shot"
echo "screenshot: $shot"

if [ "$checks" = "--checks" ]; then
  # The minimise button sits at (712, 9)-(736, 33) of the window.
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove $((X + 724)) $((Y + 21))
  sleep 0.5
  pixel="$(import -window root -crop "1x1+$((X + 716))+$((Y + 13))" txt:- | tail -n 1)"
  read -r r g b < <(echo "$pixel" | sed -n 's/.*srgb(\([0-9]*\),\([0-9]*\),\([0-9]*\)).*/\1 \2 \3/p')
  # The style draws the red with the platform's button shading: red clearly dominates.
  if [ -n "${r:-}" ] && [ "$r" -ge 200 ] && [ $((r - g)) -ge 60 ] && [ $((r - b)) -ge 60 ]; then
    echo "minimise button under the mouse: red ($r,$g,$b)"
  else
    fail "the minimise button under the mouse is not red: $pixel"
  fi
  xdotool mousemove $((X + 400)) $((Y + 300))

  geometry_before="$(xdotool getwindowgeometry "$win")"
  set +e
  err="$("$program" 2>&1 >/dev/null)"
  rc=$?
  set -e
  [ $rc -eq 0 ] || fail "second start ended with $rc"
  [ "$err" = "$prog_name already running." ] || fail "second start said: $err"
  sleep 0.5
  [ "$(window_id)" = "$win" ] || fail "the running window went away"
  [ "$(xdotool getwindowgeometry "$win")" = "$geometry_before" ] || fail "the running window changed"
  kill -0 "$prog_pid" || fail "the first instance ended"
  echo "second start: reported the running instance"
fi

sleep "$hold"

tray_icon="$(tray_icon_of "$prog_name")" || fail "no tray icon found"
menu="$(open_tray_menu "$tray_icon" 10)" || fail "the tray menu did not open"
import -window root "${shot%.png}-tray-menu.png"
# The exit action is the menu's last entry.
click_last_menu_entry "$menu" || fail "cannot read the tray menu's geometry"

wait_for_exit "$prog_pid" 10 || fail "the program did not quit from its tray"
prog_pid=""
[ "$exit_code" -eq 0 ] || fail "the program ended with $exit_code"
echo "quit from the tray: exit code 0"
