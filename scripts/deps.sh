#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only those that are missing.
# libqt6svg6 draws the program's icon; xvfb, xdotool and imagemagick run the window's end-to-end
# test (a virtual display, X key events and screenshots); clang and libclang-rt-14-dev (which
# holds libFuzzer) build the fuzz targets.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libpng-dev libsdl2-dev qt6-base-dev libqt6svg6 xvfb xdotool
          imagemagick clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
