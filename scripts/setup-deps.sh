#!/usr/bin/env bash
# Installs every Debian package that building, testing and running MirvaleClient needs.
# Idempotent: when everything is present it returns without touching apt.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  qtbase5-dev qtbase5-dev-tools qt5-qmake libqt5svg5-dev
  libssl-dev openssl
  libgtest-dev libbenchmark-dev
  xvfb xauth x11-utils xdotool trayer openbox xcompmgr imagemagick
  fonts-droid-fallback fonts-wqy-microhei
  binutils procps psmisc python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
