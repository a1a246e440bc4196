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

fail() { echo "xvfb-session: $*" >&2; exit 1; }

# Wait until COMMAND succeeds, for at most SECONDS.
wait_for() {
  local seconds="$1"; shift
  local end=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.05
  done
}

tray_pid=""
prog_pid=""
cleanup() {
  [ -n "$prog_pid" ] && kill "$prog_pid" 2>/dev/null || true
  [ -n "$tray_pid" ] && kill "$tray_pid" 2>/dev/null || true
}
trap cleanup EXIT

# A tray host at the bottom edge; its "panel" window appears once it owns the tray.
trayer --edge bottom --align center --widthtype request --height 32 --transparent false \
  --tint 0xdddddd >/dev/null 2>&1 &
tray_pid=$!
tray_up() { local tree; tree="$(xwininfo -root -tree)"; grep -q '"panel": ("panel" "trayer")' <<<"$tree"; }
wait_for 10 tray_up || fail "the tray host did not come up"
sleep 0.2

prog_name="$(basename "$program")"
"$program" &
prog_pid=$!

window_id() { local ids; ids="$(xdotool search --onlyvisible --name "^${title}\$" || true)"; echo "${ids%%$'\n'*}"; }
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

# The tray icon is the program's window embedded in the tray host's panel.
tray_icon=""
for id in $(xdotool search --classname "^${prog_name}\$"); do
  read -r w h < <(xdotool getwindowgeometry --shell "$id" | awk -F= '/^WIDTH/{w=$2} /^HEIGHT/{h=$2} END{print w, h}')
  if [ "$w" -gt 4 ] && [ "$w" -le 64 ] && [ "$h" -gt 4 ] && [ "$h" -le 64 ]; then tray_icon="$id"; break; fi
done
[ -n "$tray_icon" ] || fail "no tray icon found"

# Right button opens the tray menu; its last entry is the exit action.
count_windows() { local tree; tree="$(xwininfo -root -children)"; grep -c '^ *0x' <<<"$tree" || true; }
windows_before="$(count_windows)"
xdotool mousemove --window "$tray_icon" 10 10 click 3
menu_up() { [ "$(count_windows)" -gt "$windows_before" ]; }
wait_for 10 menu_up || fail "the tray menu did not open"
sleep 0.3
import -window root "${shot%.png}-tray-menu.png"
children="$(xwininfo -root -children)"
menu="$(awk '/^ *0x/ && !found {print $1; found = 1}' <<<"$children")"
eval "$(xdotool getwindowgeometry --shell "$menu")"
[ -n "${WIDTH:-}" ] || fail "cannot read the tray menu's geometry"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 10)) sleep 0.2 click 1

set +e
for _ in $(seq 200); do kill -0 "$prog_pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$prog_pid" 2>/dev/null; then fail "the program did not quit from its tray"; fi
wait "$prog_pid"
rc=$?
prog_pid=""
set -e
[ $rc -eq 0 ] || fail "the program ended with $rc"
echo "quit from the tray: exit code 0"
