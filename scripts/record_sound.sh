#!/usr/bin/env bash
# Records what the window really sends to the sound device and holds it to the runner's WAV of
# the same cartridge: the real kivo under Xvfb with SDL's disk audio driver, for SECONDS, then
# kivo_sound_compare (at least 99% of the sound's 512-frame chunks intact and in order, no sound
# replayed from one ring lap earlier). Exits 0 when both hold, 1 when not, 77 without Xvfb.
#
#   scripts/record_sound.sh [-b BUILD] [-k RAW] ROM SECONDS
#
# BUILD defaults to build/release; RAW keeps the recording (22050 Hz, 16-bit stereo, raw).
# KIVO_BUSY=1 keeps the other core busy meanwhile. KIVO_PLAY=1 plays: Start, then a key of the
# direction pad, A or B four times a second (X key events); the reference is then the blocks the
# window handed to its sound output (KIVO_SOUND_TEE) rather than the runner's WAV.
set -euo pipefail
build="$(cd "$(dirname "$0")/.." && pwd)/build/release"
keep=""
while getopts "b:k:" flag; do
  case "$flag" in
    b) build="$OPTARG" ;;
    k) keep="$OPTARG" ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 2 ] || { echo "usage: $0 [-b BUILD] [-k RAW] ROM SECONDS" >&2; exit 2; }
rom="$(realpath "$1")"
seconds="$2"
command -v Xvfb >/dev/null || { echo "SKIP: Xvfb is not installed"; exit 77; }

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

display=99
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
if [ "${KIVO_BUSY:-0}" = 1 ]; then
  sh -c 'while :; do :; done' &
  pids+=($!)
fi

cp "$build/src/app/kivo" "$work/kivo"  # a fresh INI beside it: the default options
DISPLAY=":$display" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/device.raw" KIVO_NOISE_SEED=0 \
  KIVO_SOUND_STATS=1 KIVO_SOUND_TEE="$work/blocks.raw" "$work/kivo" "$rom" 2>"$work/kivo.err" &
app=$!
pids+=($app)
if [ "${KIVO_PLAY:-0}" = 1 ]; then
  export DISPLAY=":$display"
  wid="$(timeout 20 xdotool search --sync --onlyvisible --name "KIVO - " | head -1)"
  xdotool windowfocus --sync "$wid"
  keys=(Left Right Up Down w x w x)
  end=$((SECONDS + seconds))
  xdotool key --delay 80 Return
  while [ "$SECONDS" -lt "$end" ]; do
    xdotool key --delay 80 "${keys[RANDOM % ${#keys[@]}]}"
    sleep 0.17
  done
else
  sleep "$seconds"
fi
kill -TERM "$app"
wait "$app" || true
grep "^sound:" "$work/kivo.err" || true
[ -n "$keep" ] && cp "$work/device.raw" "$keep"

if [ "${KIVO_PLAY:-0}" = 1 ]; then
  "$build/tests/kivo_sound_compare" "$work/blocks.raw" "$work/device.raw"
  exit
fi
# The same console time and more: the comparison stops where the recording does.
"$build/src/cli/kivo-run" --slices $(((seconds + 4) * 16)) --seed 0 --wav "$work/runner.wav" \
  "$rom" >/dev/null
"$build/tests/kivo_sound_compare" "$work/runner.wav" "$work/device.raw"
