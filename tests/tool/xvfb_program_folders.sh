#!/usr/bin/env bash
# The real MirvaleClient run from copies of its installed layout (bin/MirvaleClient,
# bin/Option.ini, mvukeytool/libSKFAPI.so) under folders of different names, ASCII and
# Chinese, on a virtual display with a tray host. In each the key page loads the demo
# token's certificates, and the device-event thread binds the library too: after the token
# is removed and inserted again from outside, the page loads it again.
#   bash xvfb_program_folders.sh BUILD_DIR OUTDIR
# The copies, the program's logs and a screenshot per run go to OUTDIR.
set -euo pipefail

build="$1"
out="$2"

if [ -z "${MV_XVFB_INNER:-}" ]; then
  export MV_XVFB_INNER=1
  exec bash "$(dirname "$0")/../../scripts/with-xvfb.sh" bash "$0" "$@"
fi

# shellcheck source=../../scripts/xvfb-lib.sh
source "$(dirname "$0")/../../scripts/xvfb-lib.sh"

log=""
fail() { echo "xvfb_program_folders: $*" >&2; [ -n "$log" ] && [ -f "$log" ] && tail -n 40 "$log" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out/store" "$out/runtime"
chmod 700 "$out/runtime"
export MVUKEY_STORE="$out/store" XDG_RUNTIME_DIR="$out/runtime"

# The demo token: four certificates in two applications.
MV_BUILD_DIR="$build" bash "$(dirname "$0")/../../scripts/demo-token.sh" >/dev/null || fail "demo token"
mvtoken="$build/bin/mvtoken"
demo_certs=4

tray_pid=""; prog_pid=""
cleanup() {
  [ -n "$prog_pid" ] && kill "$prog_pid" 2>/dev/null || true
  [ -n "$tray_pid" ] && kill "$tray_pid" 2>/dev/null || true
}
trap cleanup EXIT
start_tray_host 30 || fail "the tray host did not come up"

# The title's ASCII start: without a UTF-8 locale Qt writes the window's WM_NAME in
# another encoding than the title's UTF-8 _NET_WM_NAME.
window_up() { [ -n "$(visible_window 'Zavrin.*')" ]; }
certs_logged() { grep -c "获取证书信息:" "$log" || true; }
certs_logged_are() { [ "$(certs_logged)" -eq "$1" ]; }

# run_from SHOT FOLDER [VAR=value ...]: runs a copy of the layout under FOLDER, with the
# given locale variables.
run_from() {
  local shot="$1" name="$2" folder="$out/$2"; shift 2
  mkdir -p "$folder/bin" "$folder/mvukeytool" "$folder/tmp"
  cp "$build/bin/MirvaleClient" "$build/bin/Option.ini" "$folder/bin/"
  cp "$build/mvukeytool/libSKFAPI.so" "$folder/mvukeytool/"
  log="$out/$shot.log"
  env "$@" TMPDIR="$folder/tmp" "$folder/bin/MirvaleClient" >"$log" 2>&1 &
  prog_pid=$!

  wait_for 60 window_up || fail "$name: the main window did not appear"
  wait_for 20 certs_logged_are "$demo_certs" || fail "$name: the demo token's certificates were not loaded"
  "$mvtoken" remove MirvaleKey01 >/dev/null
  "$mvtoken" insert MirvaleKey01 >/dev/null
  wait_for 20 certs_logged_are $((2 * demo_certs)) || fail "$name: the token was not loaded again after its insertion"
  sleep 0.3
  import -window root "$out/$shot.png"
  if grep -q "load fail\|Cannot open library" "$log"; then fail "$name: a binding of the token library failed"; fi

  kill "$prog_pid"
  wait "$prog_pid" 2>/dev/null || true
  prog_pid=""
  local locale="${*:-ambient locale}"
  echo "$name ($locale): certificates loaded at start and after an insertion"
}

run_from ascii mirvale/client
run_from chinese-utf8 "米维尔/客户端" LC_ALL=C.UTF-8
# Without a UTF-8 locale the program still names its files in UTF-8.
run_from chinese-c "米维尔/客户端-C" LC_ALL=C
