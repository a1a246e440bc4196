# Shell functions for the scripts that run MirvaleClient on a virtual display with a tray
# host. Source this file inside the display (scripts/with-xvfb.sh); it only defines
# functions. Each returns non-zero when what it waits for does not happen, and the caller
# reports the failure in its own words. Window lists are read whole before they are
# matched: grep -q would end the pipe early and fail the listing command.

# wait_for SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds, for at most SECONDS.
wait_for() {
  local seconds="$1"; shift
  local end=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.05
  done
}

tray_host_up() {
  local tree
  tree="$(xwininfo -root -tree)"
  grep -q '"panel": ("panel" "trayer")' <<<"$tree"
}

launch_tray_host() {
  trayer --edge bottom --align center --widthtype request --height 32 --transparent false \
    --tint 0xdddddd >/dev/null 2>&1 &
  tray_pid=$!
}

# Up, or relaunched when the host ended before it came up (it can fail to start on a
# freshly started display under load).
tray_host_up_or_relaunch() {
  tray_host_up && return 0
  kill -0 "$tray_pid" 2>/dev/null || launch_tray_host
  return 1
}

# start_tray_host SECONDS: starts a tray host at the bottom edge (its pid in tray_pid) and
# waits for its panel, which appears once it owns the tray.
start_tray_host() {
  launch_tray_host
  wait_for "$1" tray_host_up_or_relaunch
}

# visible_window TITLE: prints the id of the first visible window named exactly TITLE,
# nothing when there is none.
visible_window() {
  local ids
  ids="$(xdotool search --onlyvisible --name "^$1\$" || true)"
  echo "${ids%%$'\n'*}"
}

# tray_icon_of PROGRAM_NAME: prints the id of the program's tray icon, the small window of
# its class embedded in the tray host's panel.
tray_icon_of() {
  local id w h
  for id in $(xdotool search --classname "^$1\$"); do
    read -r w h < <(xdotool getwindowgeometry --shell "$id" |
      awk -F= '/^WIDTH/{w=$2} /^HEIGHT/{h=$2} END{print w, h}')
    if [ "$w" -gt 4 ] && [ "$w" -le 64 ] && [ "$h" -gt 4 ] && [ "$h" -le 64 ]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

top_level_count() {
  local children
  children="$(xwininfo -root -children)"
  grep -c '^ *0x' <<<"$children" || true
}

more_top_levels_than() { [ "$(top_level_count)" -gt "$1" ]; }

# open_tray_menu ICON SECONDS: opens the tray icon's menu with the right button, waits for
# it and prints the menu's window id (the topmost window).
open_tray_menu() {
  local before children
  before="$(top_level_count)"
  xdotool mousemove --window "$1" 10 10 click 3
  wait_for "$2" more_top_levels_than "$before" || return 1
  sleep 0.3
  children="$(xwininfo -root -children)"
  awk '/^ *0x/ && !found {print $1; found = 1}' <<<"$children"
}

# click_last_menu_entry MENU: clicks the bottom entry of an open menu (the tray menu's exit
# action).
click_last_menu_entry() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  [ -n "${WIDTH:-}" ] || return 1
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 10)) sleep 0.2 click 1
}

# wait_for_exit PID SECONDS: waits up to SECONDS for the child process PID of this shell to
# end and puts its exit code in exit_code; returns 1 while it still runs.
wait_for_exit() {
  local pid="$1"
  local end=$((SECONDS + $2))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.05
  done
  exit_code=0
  wait "$pid" || exit_code=$?
}

window_manager_up() {
  local check
  check="$(xprop -root _NET_SUPPORTING_WM_CHECK)"
  grep -q 'window id' <<<"$check"
}

# start_window_manager SECONDS: starts openbox (its pid in wm_pid) and waits until it manages
# the screen (the root window names its check window).
start_window_manager() {
  openbox --sm-disable >/dev/null 2>&1 &
  wm_pid=$!
  wait_for "$1" window_manager_up
}
