#!/usr/bin/env bash
# Runs a command on a private Xvfb display (scripts/with-xvfb.sh) managed by openbox, so that
# windows get frames, focus and activation as on a desktop. openbox ends with the command.
#   bash scripts/with-openbox.sh COMMAND...
set -euo pipefail

if [ -z "${MV_XVFB_INNER:-}" ]; then
  export MV_XVFB_INNER=1
  exec bash "$(dirname "$0")/with-xvfb.sh" bash "$0" "$@"
fi

# shellcheck source=xvfb-lib.sh
. "$(dirname "$0")/xvfb-lib.sh"

wm_pid=""
cleanup() {
  [ -n "$wm_pid" ] || return 0
  kill "$wm_pid" 2>/dev/null || true
  wait "$wm_pid" 2>/dev/null || true
}
trap cleanup EXIT

start_window_manager 30 || { echo "with-openbox: openbox did not come up" >&2; exit 1; }
# Not exec: the trap must stop openbox once the command has ended.
"$@"
