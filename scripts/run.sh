#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds MirvaleClient with its token stand-in, puts a
# demo token in place and starts the program. Without a display it runs the program on a
# virtual display with a tray host, writes a screenshot, prints its path and quits the
# program from its tray after a short while.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
bash scripts/setup-deps.sh

build="${MV_RUN_BUILD_DIR:-$here/build/run}"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=OFF -DMV_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

# The stand-in's default store unless the caller names one.
if [ -n "${MVUKEY_STORE:-}" ]; then export MVUKEY_STORE; fi
MV_BUILD_DIR="$build" bash scripts/demo-token.sh

program="$build/bin/MirvaleClient"
if [ -n "${DISPLAY:-}" ]; then
  exec "$program"
fi

echo "No display found (DISPLAY is not set): running MirvaleClient on a virtual display (Xvfb)"
echo "with a system tray host; a screenshot of its window follows."
shot="$build/screenshots/mirvale-window.png"
# The guard's socket of this run stays apart from any other MirvaleClient on the machine.
run_tmp="$(mktemp -d)"
trap 'rm -rf "$run_tmp"' EXIT
mkdir -m 700 "$run_tmp/runtime"
TMPDIR="$run_tmp" XDG_RUNTIME_DIR="$run_tmp/runtime" bash scripts/xvfb-session.sh "$program" "$shot" "${MV_RUN_SECONDS:-5}"
echo "Screenshot of the running program: $shot"
