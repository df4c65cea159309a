#!/usr/bin/env bash
# Builds and runs the test suite three times: an optimised build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the threaded parts (the worker
# and its handshake, pacing, the sound output's audio thread) with their tests. Third-party test ROMs are taken from KIVO_TEST_ROMS
# (default ../shared/test-roms beside the repository); tests that need them skip without them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
roms="${KIVO_TEST_ROMS:-$(cd .. && pwd)/shared/test-roms}"
for preset in release sanitize tsan; do
  echo "== $preset build =="
  cmake --preset "$preset" -DKIVO_TEST_ROMS="$roms" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
