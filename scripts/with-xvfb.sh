#!/usr/bin/env bash
# Runs a command on a private Xvfb display. Xvfb picks a free display number itself
# (-displayfd), so parallel runs do not collide; it is stopped when the command ends.
set -euo pipefail
workdir="$(mktemp -d)"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
xvfb=$!
cleanup() { kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -rf "$workdir"; }
trap cleanup EXIT
for _ in $(seq 1 200); do
  [ -s "$workdir/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || { cat "$workdir/xvfb.log" >&2; exit 1; }
  sleep 0.05
done
[ -s "$workdir/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$workdir/display")"
"$@"
