#!/usr/bin/env bash
# Builds and runs the test suite three times: an optimised build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build that runs the tests of the threaded
# parts (the worker and its handshake, pacing, the sound output's audio thread) and the window's
# tests, Qt's own libraries suppressed by tests/tsan.supp. Third-party test
# ROMs are taken from KIVO_TEST_ROMS when it is set, otherwise from the build's default folder;
# tests that need them skip without them. Last, the libFuzzer targets run (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
for preset in release sanitize tsan; do
  echo "== $preset build =="
  cmake --preset "$preset" ${KIVO_TEST_ROMS:+"-DKIVO_TEST_ROMS=$KIVO_TEST_ROMS"} >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
# The fuzz targets, each for KIVO_FUZZ_SECONDS seconds (default 30).
scripts/fuzz.sh
