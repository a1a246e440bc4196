#!/usr/bin/env bash
# The real MirvaleClient on a virtual display with a tray host: starts with a demo token,
# takes a screenshot of the key management page with its tree opened and a certificate
# shown, inserts and removes a second token from outside, and quits from the tray menu
# while the device-event thread is blocked in its wait.
#   bash xvfb_program_events.sh PROGRAM MVTOKEN OUTDIR
# Screenshots and the program's log go to OUTDIR.
set -euo pipefail

program="$1"
mvtoken="$2"
out="$3"
title="Zavrin管理工具"

if [ -z "${MV_XVFB_INNER:-}" ]; then
  export MV_XVFB_INNER=1
  exec bash "$(dirname "$0")/../../scripts/with-xvfb.sh" bash "$0" "$@"
fi

# shellcheck source=../../scripts/xvfb-lib.sh
source "$(dirname "$0")/../../scripts/xvfb-lib.sh"

fail() { echo "xvfb_program_events: $*" >&2; [ -f "$out/program.log" ] && tail -n 40 "$out/program.log" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out/store" "$out/tmp" "$out/runtime"
chmod 700 "$out/runtime"
export MVUKEY_STORE="$out/store" TMPDIR="$out/tmp" XDG_RUNTIME_DIR="$out/runtime"

# The demo token: two applications, three containers, five certificates.
tok() { "$mvtoken" "$@" >/dev/null || fail "mvtoken $*"; }
tok init-device UKEY-A --label "Demo Token" --serial MV20240001 --manufacturer Mirvale
tok create-app UKEY-A SIGNAPP --admin-pin 735186 --user-pin 111111
tok create-container UKEY-A SIGNAPP Alice --key sm2
tok issue-cert UKEY-A SIGNAPP Alice --sign --subject "/C=CN/O=Mirvale/OU=Sales/CN=Alice"
tok issue-cert UKEY-A SIGNAPP Alice --enc --subject "/C=CN/O=Mirvale/OU=Sales/CN=Alice"
tok create-container UKEY-A SIGNAPP Alice-RSA --key rsa
tok issue-cert UKEY-A SIGNAPP Alice-RSA --sign --subject "/C=CN/O=Mirvale/CN=Alice RSA"
tok create-app UKEY-A MAILAPP --admin-pin 735186 --user-pin 222222
tok create-container UKEY-A MAILAPP Mail --key sm2
tok issue-cert UKEY-A MAILAPP Mail --sign --subject "/C=CN/O=Mirvale/CN=Alice Mail"
tok issue-cert UKEY-A MAILAPP Mail --enc --subject "/C=CN/O=Mirvale/CN=Alice Mail"
tok insert UKEY-A
# The second token, not inserted yet.
tok init-device UKEY-B --label "Second" --serial MV20240002
tok create-app UKEY-B APP --admin-pin 735186 --user-pin 333333
tok create-container UKEY-B APP Bob --key sm2
tok issue-cert UKEY-B APP Bob --sign --subject "/C=CN/O=Mirvale/CN=Bob"

tray_pid=""; comp_pid=""; prog_pid=""
cleanup() {
  [ -n "$prog_pid" ] && kill "$prog_pid" 2>/dev/null || true
  [ -n "$comp_pid" ] && kill "$comp_pid" 2>/dev/null || true
  [ -n "$tray_pid" ] && kill "$tray_pid" 2>/dev/null || true
}
trap cleanup EXIT

start_tray_host 30 || fail "the tray host did not come up"
# A compositor, so that the translucent window shows its own frame.
if command -v xcompmgr >/dev/null; then xcompmgr >/dev/null 2>&1 & comp_pid=$!; fi
sleep 0.2

log="$out/program.log"
"$program" >"$log" 2>&1 &
prog_pid=$!

window_up() { [ -n "$(visible_window "$title")" ]; }
wait_for 60 window_up || fail "the main window did not appear"
win="$(visible_window "$title")"
certs_logged() { grep -c "获取证书信息:" "$log" || true; }
[ "$(certs_logged)" -eq 5 ] || wait_for 10 test "$(certs_logged)" -eq 5 || fail "the demo token's 5 certificates were not loaded"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$win")"
wx=$X; wy=$Y
# The tree lies at (409, 40) in the page, the page at (0, 139) in the window; rows are
# about 20 pixels high. Open the first application and its first container, then show
# the container's signature certificate.
row() { echo $((wy + 139 + 40 + 10 + 20 * $1)); }
xdotool mousemove $((wx + 409 + 80)) "$(row 0)" click --repeat 2 --delay 80 1; sleep 0.3
xdotool mousemove $((wx + 409 + 80)) "$(row 1)" click --repeat 2 --delay 80 1; sleep 0.3
xdotool mousemove $((wx + 409 + 120)) "$(row 2)" click 1; sleep 0.5
import -window root "$out/1-demo-token.png"
echo "screenshot: $out/1-demo-token.png"

# A second token arrives: a tray message, the page stays on the demo token.
tok insert UKEY-B
sleep 0.6
import -window root "$out/2-inserted.png"
echo "screenshot: $out/2-inserted.png"
[ "$(grep -c "CN=Bob" "$log" || true)" -eq 0 ] || fail "the page loaded the second token while the first was current"

# The demo token goes: the page clears and loads the second token.
tok remove UKEY-A
bob_loaded() { grep -q "CN=Bob" "$log"; }
wait_for 10 bob_loaded || fail "the page did not load the second token after the removal"
sleep 0.4
import -window root "$out/3-removed.png"
echo "screenshot: $out/3-removed.png"
sleep 1.5

# Quit from the tray menu; the device-event thread is blocked in its wait now.
prog_name="$(basename "$program")"
tray_icon="$(tray_icon_of "$prog_name")" || fail "no tray icon found"
menu="$(open_tray_menu "$tray_icon" 10)" || fail "the tray menu did not open"
click_last_menu_entry "$menu" || fail "cannot read the tray menu's geometry"
quit_start=$SECONDS

wait_for_exit "$prog_pid" 5 || fail "the program did not quit within 5 s of the exit action"
prog_pid=""
[ "$exit_code" -eq 0 ] || fail "the program ended with $exit_code"
grep -q "线程退出并销毁" "$log" || fail "the exit action did not ask the device-event thread to stop"
if grep -q "QThread: Destroyed while thread is still running" "$log"; then fail "the thread object was destroyed while running"; fi
echo "quit from the tray in $((SECONDS - quit_start)) s while the worker waited: exit code 0"
