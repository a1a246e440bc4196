#!/usr/bin/env bash
# Runs a command on a virtual display of its own with a system tray host:
#   bash with_tray.sh COMMAND [ARGS...]
# The command's exit code is the script's.
set -euo pipefail

if [ -z "${MV_TRAY_INNER:-}" ]; then
  export MV_TRAY_INNER=1
  exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi

trayer --edge bottom --align center --widthtype request --height 32 --transparent false \
  --tint 0xdddddd >/dev/null 2>&1 &
tray_pid=$!
trap 'kill "$tray_pid" 2>/dev/null || true' EXIT

# The tray is up once the selection _NET_SYSTEM_TRAY_S0 has an owner (trayer's panel).
for _ in $(seq 200); do
  if xwininfo -root -tree | grep -q '"panel": ("panel" "trayer")'; then break; fi
  sleep 0.05
done
sleep 0.2
unset MV_TRAY_INNER
"$@"
