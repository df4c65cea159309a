#!/usr/bin/env bash
# Mutation check of the test suite: each mutant below is one realistic fault, written as an exact
# string replacement in one source file. For each mutant chosen, the script applies it, rebuilds
# the tests, runs them (stopping at the first failure)
# and restores the file, also when interrupted. A mutant whose string is not found exactly once
# stops the script: the list must be brought up to date with the source.
#
#   scripts/mutants.sh            every mutant
#   scripts/mutants.sh 3 7 12     only these
#   scripts/mutants.sh --check    only check that every string is found once
#   scripts/mutants.sh --list     print the numbered list
#
# The mutants are built with the mutant preset (build/mutant: optimised, without link-time
# optimisation, so that a mutant costs one compile and plain relinks). The tests run in the order
# they are declared, cheap unit tests first, with the soak run left out. Prints one line per
# mutant (killed or survived, and what killed it) and a summary. The build and test output of the
# last mutant is kept in build/mutant/mutant.log. Run it niced. Set KIVO_MUTANT_JOBS for the
# build's parallel jobs (default 2).
set -uo pipefail
cd "$(dirname "$0")/.."

FILES=()
OLDS=()
NEWS=()
m() {
  FILES+=("$1")
  OLDS+=("$2")
  NEWS+=("$3")
}

# ---- src/machine ----
m src/machine/cartridge.cpp '(state.Bank_ROM1 & ~0x1Fu) | (value & 0x1Fu)' \
  '(state.Bank_ROM1 & ~0x1Fu) | (value & 0x0Fu)'
m src/machine/cartridge.cpp 'if (state.Bank_ROM_RAM_MODE == 0) {' 'if (state.Bank_ROM_RAM_MODE != 0) {'
m src/machine/cartridge.cpp 'state.Bank_ROM1 = value & 0x7Fu;' 'state.Bank_ROM1 = value & 0x3Fu;'
m src/machine/cartridge.cpp '(state.Bank_ROM1 & 0x100u) | value;' '(state.Bank_ROM1 & 0x1FFu) | value;'
m src/machine/io.cpp 's.joy_sel_dir = (value & 0x10) ? 0 : 1;' 's.joy_sel_dir = (value & 0x20) ? 0 : 1;'
m src/machine/io.cpp '(value & 7u) != 0 ? (value & 7u) : 1u;' '(value & 7u) != 0 ? (value & 7u) : 0u;'
m src/machine/io.cpp 'for (u16 i = 0; i < 160; ++i) {' 'for (u16 i = 0; i < 159; ++i) {'
m src/machine/io.cpp 's.hdma_length = (value & 0x7F) * 16 + 16;' 's.hdma_length = (value & 0x7F) * 16;'
m src/machine/io.cpp 'static_cast<u8>(LoadShared(s.IF) | 0xE0)' 'static_cast<u8>(LoadShared(s.IF) | 0xF0)'
m src/machine/io.cpp 'if (left <= 16) {' 'if (left < 16) {'
m src/machine/io.cpp 'case reg::LY: s.LY = 0; break;' 'case reg::LY: s.LY = value; break;'
m src/machine/io.cpp 'if (key < 0 || key >= 8) return;' 'if (key < 0 || key > 8) return;'
m src/machine/lcd.cpp 'constexpr u8 kVblankLine = 144;' 'constexpr u8 kVblankLine = 143;'
m src/machine/lcd.cpp 'state.STAT |= 0x04;' 'state.STAT |= 0x02;'
m src/machine/lcd.cpp '(state.STAT & (0x08 << mode)) != 0' '(state.STAT & (0x10 << mode)) != 0'
m src/machine/lcd.cpp '(next >= frame_skip_period || next <= 0)' '(next > frame_skip_period || next <= 0)'
m src/machine/renderer.cpp '(attr & kAttrYFlip) ? 7 - tile_line : tile_line' \
  '(attr & kAttrYFlip) ? 6 - tile_line : tile_line'
m src/machine/renderer.cpp 'if (win_on && s.WX <= 166 && s.WY < kScreenHeight && s.WY <= ly) {' \
  'if (win_on && s.WX <= 166 && s.WY < kScreenHeight && s.WY < ly) {'
m src/machine/idle_loop.cpp 'if (op == 0x76 || (op >= 0x70 && op <= 0x77)) return false;' \
  'if (op == 0x76 || (op >= 0x71 && op <= 0x77)) return false;'
m src/machine/pacer.cpp 'if (!(hz >= 10.0 && hz <= 1000.0)) return kDefaultRefreshHz;' \
  'if (!(hz >= 10.0)) return kDefaultRefreshHz;'
m src/machine/pacer.cpp 'phase_ + ((now - phase_) / period + 1) * period;' 'phase_ + ((now - phase_) / period) * period;'
m src/machine/stream_read.cpp 'if (got < want) return std::ferror(file) == 0;' 'if (got < want) return true;'
m src/machine/gbsys.cpp '(rom[0x143] == 0x80 || rom[0x143] == 0xC0) ? 1 : 0' '(rom[0x143] == 0xC0) ? 1 : 0'

# ---- src/ui ----
m src/ui/options.cpp 'const long long limit = negative ? 2147483648LL : 2147483647LL;' \
  'const long long limit = 2147483647LL;'
m src/ui/options.cpp "return c == ' ' || c == '\\t' || c == '\\r'" "return c == ' ' || c == '\\r'"
m src/ui/options.cpp 'if (text.empty() || text.size() > 8) return false;' 'if (text.empty()) return false;'
m src/ui/keys.cpp 'if (index >= 0) gb.ReleaseButton(index);' 'if (index > 0) gb.ReleaseButton(index);'
m src/ui/button_holds.cpp 'if (holders_[button] == 0) gb.ReleaseButton(button);' 'gb.ReleaseButton(button);'
m src/ui/disasm.cpp "mnemonic.push_back(d < 0x80 ? '+' : '-');" "mnemonic.push_back(d <= 0x80 ? '+' : '-');"
m src/ui/disasm.cpp 'b >= 0x20 && b <= 0x7E ?' 'b >= 0x20 && b <= 0x7F ?'
m src/ui/debug_nav.cpp 'if (negative) value = 0x10000 - value;' 'if (negative) value = 0xFFFF - value;'
m src/ui/state_files.cpp 'return gb.rom_open && gb.cart_battery && gb.rom_file != nullptr;' \
  'return gb.rom_open && gb.rom_file != nullptr;'
m src/ui/ini_location.cpp '*xdg_config_home && fs::path(xdg_config_home).is_absolute()' '*xdg_config_home'

# ---- src/host ----
m src/host/dest_rect.cpp 'std::min<std::uint32_t>(screen_size, 4)' 'std::min<std::uint32_t>(screen_size, 3)'
m src/host/dest_rect.cpp '(client.top + bottom) / 2' '(client.top + client.bottom) / 2'
m src/host/wav_writer.cpp 'Put16(p + 2, v >> 16);' 'Put16(p + 2, v >> 8);'
m src/host/png_writer.cpp 'rgb[i * 3 + 0] = bgrx[i * 4 + 2];' 'rgb[i * 3 + 0] = bgrx[i * 4 + 0];'
m src/host/game_controllers.cpp 'if (toward(-y, KEY_UP)) bits |= 1u << KEY_UP;' \
  'if (toward(y, KEY_UP)) bits |= 1u << KEY_UP;'
m src/host/game_controllers.cpp 'polls_ - pad.pressed_at[key] < kShortestHoldPolls' \
  'polls_ - pad.pressed_at[key] <= kShortestHoldPolls'
m src/host/thread_priority.cpp 'constexpr int kNice[] = {10, 5, 0, -5, -10};' 'constexpr int kNice[] = {10, 5, 0, -5, -5};'

# ---- src/cli ----
m src/cli/run_args.cpp 'if (v > std::numeric_limits<std::uint32_t>::max()) return false;' \
  'if (v >= std::numeric_limits<std::uint32_t>::max()) return false;'
m src/cli/run_args.cpp 'count > kMaxViewLines) return false;' 'count >= kMaxViewLines) return false;'
m src/cli/run_args.cpp 'if (arg != "--until" && std::find(seen.begin()' 'if (std::find(seen.begin()'
m src/cli/run_args.cpp 'if (r.slices && r.frames) return Fail' 'if (r.slices && r.frames && false) return Fail'
m src/cli/input_script.cpp "if (!line.empty() && line.back() == '\\r') line.pop_back();" ''
m src/cli/run_watch.cpp 'const u8 pass[] = {3, 5, 8, 13, 21, 34};' 'const u8 pass[] = {3, 5, 8, 13, 21, 35};'
m src/cli/run_watch.cpp "(c >= 0x20 && c < 0x7F)" "(c > 0x20 && c < 0x7F)"
m src/cli/kivo-run.cpp 'events_[next_].frame <= count' 'events_[next_].frame < count'
m src/cli/kivo-run.cpp 'verdict->outcome == Outcome::kPass ? 0 : kExitNotPassed' \
  'verdict->outcome != Outcome::kFail ? 0 : kExitNotPassed'

# ---- src/app ----
m src/app/vk_keys.cpp 'return 0x60 + static_cast<std::uint32_t>(qt_key - Qt::Key_0);' \
  'return 0x61 + static_cast<std::uint32_t>(qt_key - Qt::Key_0);'
m src/app/vk_keys.cpp 'if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F24) {' \
  'if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F12) {'
m src/app/options_dialog.cpp '(static_cast<std::uint32_t>(color.blue()) << 16)' \
  '(static_cast<std::uint32_t>(color.blue()) << 8)'
m src/app/screen_view.cpp 'QPainter::SmoothPixmapTransform, filter_ >= 2' 'QPainter::SmoothPixmapTransform, filter_ >= 1'
m src/app/vk_keys.cpp 'if (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z)' \
  'if (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Y)'

# ---- src/common ----
m src/common/safe_file.cpp 'if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {' \
  'if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {'
m src/common/safe_file.cpp 'bool ok = std::fseek(file, 0, SEEK_SET) == 0;' 'bool ok = true;'
m src/common/safe_file.cpp 'if (S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode)) {' \
  'if (S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode)) {'

# ---- src/asm ----
m src/asm/gbasm.h 'const int disp = int{target} - (origin_ + int(f.pos) + 1);' \
  'const int disp = int{target} - (origin_ + int(f.pos));'
m src/asm/gbasm.h 'void push(R16 rr) { emit(0xC5 | stack_pair(rr) << 4); }' \
  'void push(R16 rr) { emit(0xC1 | stack_pair(rr) << 4); }'

# ---- src/demo ----
m src/demo/demo_program.cpp 'header_sum - rom[i] - 1' 'header_sum - rom[i]'
m src/demo/demo_program.cpp 'if (degrees >= 180) degrees -= 180;' 'if (degrees >= 180) degrees -= 179;'

# ---- src/machine, the renderer's lines left as drawn ----
m src/machine/bus.h 'video_changes.map_rows[(offset - 0x1800) >> 5] = count;' \
  'video_changes.map_rows[(offset - 0x1800) >> 6] = count;'
m src/machine/io.cpp 'gb.video_changes.looks = ++gb.video_changes.count;' '++gb.video_changes.count;'
m src/machine/renderer.cpp 'u64{s.WY} << 32 | u64{shuffle_rows}' 'u64{s.WX} << 32 | u64{shuffle_rows}'
m src/machine/renderer.cpp 'const u32 win_row = ((lcdc & kWinMapHigh) ? 32 : 0)' \
  'const u32 win_row = ((lcdc & kBgMapHigh) ? 32 : 0)'
m src/machine/renderer.cpp 'u64 entries = drawn.sprites | SpriteLinesNow(gb, height).lines[ly];' \
  'u64 entries = drawn.sprites;'
m src/machine/bus.h 'video_changes.oam_entries[(address & 0xFF) >> 2]' \
  'video_changes.oam_entries[(address & 0xFF) >> 3]'

m src/machine/renderer.cpp 'row.key == key && changes.looks <= row.stamp && changes.map_rows[map_row] <= row.stamp;' \
  'row.key == key && changes.looks <= row.stamp;'
m src/machine/renderer.cpp '    if (rows.kept &&' '    if (rows.kept && false &&'
m src/machine/renderer.cpp 'cache.height != height || cache.oam_change != oam_change)' \
  'cache.height != height)'

# ---- src/machine, the sound unit's marked frames ----
m src/machine/sound.cpp 'before = plan.mark_start[mark++];' '++mark;'
m src/machine/sound.cpp 'frame - 1 - last < kLongestStep - 1 && heard.level[i] != was;' \
  'frame - 1 - last < kLongestStep - 9 && heard.level[i] != was;'
m src/machine/sound.cpp 'frame - 1 - last < kLongestStep - 1 && heard.level[i] != was;' \
  'frame - 1 - last < kLongestStep - 1 && heard.level[i] == was;'

# The replacement, done in Python so that no character of either string is special.
replace() {  # file old new -> exit 0 on success, 3 when the old string is not found exactly once
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
n = text.count(old)
if n != 1:
    print(f"{path}: the string is found {n} times, not once: {old!r}", file=sys.stderr)
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(old, new))
PY
}

count=${#FILES[@]}
check_only=0
chosen=()
for arg in "$@"; do
  if [[ $arg == --check ]]; then
    check_only=1
  elif [[ $arg == --list ]]; then
    for k in "${!FILES[@]}"; do
      printf '%2d  %s\n      %s\n   -> %s\n' $((k + 1)) "${FILES[k]}" "${OLDS[k]}" "${NEWS[k]}"
    done
    exit 0
  elif [[ $arg =~ ^[0-9]+$ ]] && ((arg >= 1 && arg <= count)); then
    chosen+=("$arg")
  else
    echo "usage: $0 [--check | --list] [mutant numbers 1-$count]" >&2
    exit 2
  fi
done
((${#chosen[@]})) || chosen=($(seq 1 "$count"))

# Every string first, so that a stale list fails before any rebuild.
scratch=$(mktemp -d)
for i in $(seq 1 "$count"); do
  k=$((i - 1))
  cp "${FILES[k]}" "$scratch/probe"
  replace "$scratch/probe" "${OLDS[k]}" "${NEWS[k]}" || { echo "mutant $i is stale" >&2; exit 3; }
done
rm -rf "$scratch"
if ((check_only)); then
  echo "$count mutants, every string found once"
  exit 0
fi

backup=$(mktemp)
current=""
restore() {
  if [[ -n $current ]]; then
    cp "$backup" "$current"
    current=""
  fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'restore; echo "interrupted: source restored" >&2; exit 130' INT TERM

log=build/mutant/mutant.log
jobs=${KIVO_MUTANT_JOBS:-2}
cmake --preset mutant ${KIVO_TEST_ROMS:+"-DKIVO_TEST_ROMS=$KIVO_TEST_ROMS"} >/dev/null || exit 1
echo "building the unmutated source"
cmake --build --preset mutant -j "$jobs" >"$log" 2>&1 || { echo "the unmutated build fails" >&2; exit 1; }
killed=0
survived=0
survivors=()
for i in "${chosen[@]}"; do
  k=$((i - 1))
  file=${FILES[k]}
  cp "$file" "$backup"
  current=$file
  began=$SECONDS
  replace "$file" "${OLDS[k]}" "${NEWS[k]}" || exit 3
  # Without the last run's timings and failures CTest keeps the declared order.
  rm -f build/mutant/Testing/Temporary/{CTestCostData.txt,LastTestsFailed.log}
  if ! cmake --build --preset mutant -j "$jobs" >"$log" 2>&1; then
    result="killed    by the build"
  elif ctest --preset mutant >>"$log" 2>&1; then
    result="SURVIVED"
  else
    # The first test that did not pass, from CTest's progress lines.
    test=$(grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$log" | grep -vE ' Passed | Skipped ' |
      head -n 1 | sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+).*/\1/')
    result="killed    by ${test:-the test run}"
  fi
  restore
  if [[ $result == SURVIVED ]]; then
    survived=$((survived + 1))
    survivors+=("$i")
  else
    killed=$((killed + 1))
  fi
  printf '%2d  %-28s %4ds  %s\n' "$i" "$file" $((SECONDS - began)) "$result"
done
# The build is left matching the restored source.
cmake --build --preset mutant -j "$jobs" >"$log" 2>&1 || echo "rebuild of the restored source failed" >&2
echo "killed $killed of $((killed + survived)); survivors: ${survivors[*]:-none}"
