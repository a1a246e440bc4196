#!/usr/bin/env bash
# Installs the build into a private prefix and checks the installed layout: the program in
# bin/ with its Option.ini carrying the project's version, the token library in mvukeytool/
# beside bin/.
#   check_install.sh BUILD_DIR PREFIX VERSION
set -euo pipefail
build="$1" prefix="$2" version="$3"
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "check_install: $*" >&2; exit 1; }
[ -x "$prefix/bin/MirvaleClient" ] || fail "bin/MirvaleClient missing"
[ -f "$prefix/bin/Option.ini" ] || fail "bin/Option.ini missing"
grep -qx '\[MV_Option\]' "$prefix/bin/Option.ini" || fail "Option.ini has no [MV_Option] group"
grep -qx "versions=V$version" "$prefix/bin/Option.ini" || fail "Option.ini does not hold V$version"
[ -f "$prefix/mvukeytool/libSKFAPI.so" ] || fail "mvukeytool/libSKFAPI.so missing beside bin/"
echo "installed layout in $prefix is complete"
