#!/usr/bin/env bash
# Builds the emulator and runs it (the built-in demo ROM when no ROM is given).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
if [ -x build/release/src/cli/kivo-run ]; then
  exec build/release/src/cli/kivo-run "$@"
fi
echo "The emulation machine and its tests are built; the runner (kivo-run) and the window are not built yet."
