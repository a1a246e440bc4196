#!/usr/bin/env bash
# Runs a command on a virtual display of its own with a system tray host:
#   bash with_tray.sh COMMAND [ARGS...]
# The command's exit code is the script's.
set -euo pipefail

if [ -z "${MV_TRAY_INNER:-}" ]; then
  export MV_TRAY_INNER=1
  exec bash "$(dirname "$0")/../../scripts/with-xvfb.sh" bash "$0" "$@"
fi

# shellcheck source=../../scripts/xvfb-lib.sh
source "$(dirname "$0")/../../scripts/xvfb-lib.sh"

tray_pid=""
trap '[ -n "$tray_pid" ] && kill "$tray_pid" 2>/dev/null || true' EXIT
start_tray_host 30 || { echo "with_tray: the tray host did not come up" >&2; exit 1; }
sleep 0.2
unset MV_TRAY_INNER
"$@"
