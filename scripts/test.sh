#!/usr/bin/env bash
# Builds and runs the whole test suite twice: an optimised build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build. Third-party test ROMs are taken from KIVO_TEST_ROMS when it is
# set, otherwise from the build's default folder; tests that need them skip without them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
for preset in release sanitize; do
  echo "== $preset build =="
  cmake --preset "$preset" ${KIVO_TEST_ROMS:+"-DKIVO_TEST_ROMS=$KIVO_TEST_ROMS"} >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
