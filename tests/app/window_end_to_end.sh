#!/usr/bin/env bash
# The desktop program end to end, as a player meets it: the real kivo under Xvfb on the demo
# cartridge. A held Right key, sent as a real X key event (XTEST), moves the ball to the right,
# and quitting writes the INI file beside the program. Skips (77) without Xvfb and its tools.
#
#   window_end_to_end.sh KIVO DEMO_ROM
set -euo pipefail
kivo="$1"
demo="$2"
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work="$(mktemp -d)"
app=""
xvfb=""
cleanup() {
  [ -n "$app" ] && kill -9 "$app" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

display=99
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$display" SDL_AUDIODRIVER=dummy
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

cp "$kivo" "$work/kivo"  # its INI file is written beside it
"$work/kivo" "$demo" &
app=$!
wid="$(timeout 20 xdotool search --sync --onlyvisible --name "KIVO - $(basename "$demo")" | head -1)"
sleep 1  # the demo's first frames

# The left edge of the ball (its red pixels) on the screen.
ball_x() {
  import -window root "$work/shot.png"
  convert "$work/shot.png" -fill black +opaque "#F82020" -fill white -opaque "#F82020" -trim \
    -format "%X" info: | tr -d +
}
before="$(ball_x)"
xdotool windowfocus --sync "$wid"
xdotool keydown Right
sleep 0.5
xdotool keyup Right
sleep 0.3
after="$(ball_x)"
echo "ball at x=$before, after holding Right x=$after"
[ "$after" -gt $((before + 20)) ] || { echo "FAIL: the ball did not move right"; exit 1; }

# SIGTERM closes the window as Quit does: the options are written.
kill -TERM "$app"
wait "$app" || true
app=""
[ -s "$work/kivo.INI" ] || { echo "FAIL: no INI file after quitting"; exit 1; }
grep -q "^JoyPad_Keys_0=" "$work/kivo.INI"
echo "ok"
