// The player's hotkeys: keys no menu uses, each acting only while it is not bound to a console
// button (a binding always wins). The table is the one place that says which key does what; the
// window acts on it and `kivo --help` lists it. Also the names of the files they write: quick
// save slots and screenshots.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "machine/gbsys.h"

namespace kivo {

enum class Hotkey {
    kNone,
    kFastForward,  // held
    kRewind,       // held
    kLoadSlot,     // slot 1-4
    kSaveSlot,     // slot 1-4
    kScreenshot,
    kFullScreen,      // toggles
    kLeaveFullScreen  // only acts in full screen
};

struct HotkeyAction {
    Hotkey hotkey = Hotkey::kNone;
    int slot = 0;  // 1-4 for the slot hotkeys
};

struct HotkeyEntry {
    std::uint32_t key;  // Windows virtual-key code
    bool shift;         // Shift held with it
    Hotkey hotkey;
    int slot;
    const char* key_text;  // for the help; null for the rest of a group the help names at once
    const char* help;
};

inline constexpr int kQuickSlots = 4;

// Every hotkey, in the order the help lists them.
const std::vector<HotkeyEntry>& HotkeyTable();

// What a key press does: nothing when the key is bound to a button or is no hotkey. Shift
// chooses between the two slot commands of F1-F4; the other hotkeys ignore it.
HotkeyAction FindHotkey(const TGBSYSF& gb, std::uint32_t key, bool shift);

// The help's hotkey lines: "  KEY  what it does".
std::string HotkeyHelp();

// Quick slot N of a ROM: "<ROM path without extension>.<N>.kivostate".
std::string QuickSlotPath(const std::string& rom_path, int slot);

// A screenshot's file name: "<ROM name without extension>-<YYYYMMDD-HHMMSS>.png", from local
// time `when`.
std::string ScreenshotName(const std::string& rom_path, const std::tm& when);
// The folders a screenshot is tried in, in order: the ROM's folder, then $XDG_PICTURES_DIR when
// it is set to an absolute path, else ~/Pictures (when HOME is known).
std::vector<std::string> ScreenshotFolders(const std::string& rom_path,
                                           const char* xdg_pictures_dir, const char* home);
// `name` in `folder`, or with "-2", "-3", ... before ".png" when that file already exists, so
// that two screenshots within one second both stay.
std::string FreeScreenshotPath(const std::string& folder, const std::string& name);

// A message that replaces the status bar's usual text for a while ("State 2 saved").
class StatusFlash {
  public:
    static constexpr std::int64_t kShowMs = 2000;
    void Show(std::string text, std::int64_t now_ms) {
        text_ = std::move(text);
        until_ms_ = now_ms + kShowMs;
    }
    // The message while it shows, else `usual`.
    const std::string& Text(const std::string& usual, std::int64_t now_ms) const {
        return !text_.empty() && now_ms < until_ms_ ? text_ : usual;
    }

  private:
    std::string text_;
    std::int64_t until_ms_ = 0;
};

}  // namespace kivo
