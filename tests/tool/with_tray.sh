#!/usr/bin/env bash
# Runs a command on a virtual display of its own with a system tray host:
#   bash with_tray.sh COMMAND [ARGS...]
# The command's exit code is the script's.
set -euo pipefail

if [ -z "${MV_TRAY_INNER:-}" ]; then
  export MV_TRAY_INNER=1
  exec bash "$(dirname "$0")/../../scripts/with-xvfb.sh" bash "$0" "$@"
fi

trayer --edge bottom --align center --widthtype request --height 32 --transparent false \
  --tint 0xdddddd >/dev/null 2>&1 &
tray_pid=$!
trap 'kill "$tray_pid" 2>/dev/null || true' EXIT

# The tray is up once trayer's panel window exists (it owns _NET_SYSTEM_TRAY_S0 then).
# The window tree is read whole first: grep -q would end the pipe early.
tray_up=""
for _ in $(seq 600); do
  tree="$(xwininfo -root -tree 2>/dev/null || true)"
  if grep -q '"panel": ("panel" "trayer")' <<<"$tree"; then tray_up=1; break; fi
  sleep 0.05
done
[ -n "$tray_up" ] || { echo "with_tray: the tray host did not come up" >&2; exit 1; }
sleep 0.2
unset MV_TRAY_INNER
"$@"
