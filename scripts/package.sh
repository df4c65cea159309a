#!/usr/bin/env bash
# Builds the Debian package build/package/kivo_<version>_<arch>.deb: the release build, then
# CPack's DEB generator on it (dependencies computed by dpkg-shlibdeps).
#   scripts/package.sh
#   sudo apt-get install ./build/package/kivo_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
command -v dpkg-shlibdeps >/dev/null || {
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends dpkg-dev
}
cmake --preset release
cmake --build --preset release -j2
mkdir -p build/package
(cd build/release && cpack -G DEB -B "$PWD/../package")
rm -rf build/package/_CPack_Packages
ls build/package/kivo_*.deb
