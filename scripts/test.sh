#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the project twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer and the fuzz targets) and runs the
# whole test suite in each build. Exits non-zero when anything fails.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
bash scripts/setup-deps.sh

jobs="$(nproc)"
build_root="${MV_BUILD_ROOT:-$here/build}"
status=0

run_tree() {
  local name="$1"; shift
  local dir="$build_root/$name"
  echo "=== $name build ==="
  cmake -S "$here" -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  echo "=== $name tests ==="
  if ! ctest --test-dir "$dir" -j "$jobs" --output-on-failure; then
    status=1
  fi
}

run_tree plain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
run_tree sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DMV_SANITIZE=ON -DMV_FUZZ=ON -DMV_BENCH=OFF

exit $status
