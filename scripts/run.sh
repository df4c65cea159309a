#!/usr/bin/env bash
# Builds what it runs, then plays a cartridge:
#
#   scripts/run.sh            the built-in demo cartridge in the KIVO window
#   scripts/run.sh GAME.gb    that cartridge in the window
#
# With no display (DISPLAY and WAYLAND_DISPLAY unset) it runs the cartridge headless instead, for
# five seconds of console time, and leaves its last picture (PNG) and its sound (WAV) in the
# current folder: demo.png and demo.wav (with a few scripted key presses), or GAME.png and
# GAME.wav. Further arguments go to kivo-run then (for example --ini FILE or --seed N).
set -euo pipefail
here="$(pwd)"
rom="${1:-}"
[ $# -gt 0 ] && shift
if [ -n "$rom" ] && [ "${rom#/}" = "$rom" ]; then rom="$here/$rom"; fi

cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
build="$(pwd)/build/release"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cmake --build --preset release --target kivo kivo_demo
  exec "$build/src/app/kivo" "${rom:-$build/kivo-demo.gb}"
fi

echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running headless with kivo-run."
cmake --build --preset release --target kivo-run
runner="$build/src/cli/kivo-run"

slices=80  # 16 slices are one console second
if [ -z "$rom" ]; then
  name=demo
  keys="$(mktemp)"
  trap 'rm -f "$keys"' EXIT
  # The ball goes right, then down; A plays a tone, B a noise burst, Start the jingle again.
  cat >"$keys" <<'KEYS'
30 right down
90 right up
95 a down
100 a up
120 down down
160 down up
170 b down
175 b up
200 start down
205 start up
KEYS
  source_args=(--demo --input "$keys")
else
  name="$(basename "${rom%.*}")"
  source_args=("$rom")
fi

png="$here/$name.png"
wav="$here/$name.wav"
"$runner" "${source_args[@]}" --slices "$slices" --screenshot "$png" --wav "$wav" "$@"
echo "Picture after $((slices / 16)) console seconds: $png"
echo "Sound of the run (22050 Hz stereo): $wav"
