#include "ui/hotkeys.h"

#include <filesystem>

namespace kivo {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kVkTab = 0x09, kVkEscape = 0x1B, kVkF1 = 0x70, kVkF11 = 0x7A, kVkF12 = 0x7B,
                        kVkBackquote = 0xC0;

bool BoundToButton(const TGBSYSF& gb, std::uint32_t key) {
    for (int i = 0; i < 8; ++i) {
        if (gb.JoyPad_Keys[i] == key) return true;
    }
    return false;
}

}  // namespace

const std::vector<HotkeyEntry>& HotkeyTable() {
    static const std::vector<HotkeyEntry> table = [] {
        std::vector<HotkeyEntry> t = {
            {kVkTab, false, Hotkey::kFastForward, 0, "Tab", "hold: fast-forward"},
            {kVkBackquote, false, Hotkey::kRewind, 0, "`", "hold: rewind (up to 10 seconds)"},
        };
        // The help names each group of slot keys once.
        for (int n = 0; n < kQuickSlots; ++n) {
            t.push_back({kVkF1 + n, false, Hotkey::kLoadSlot, n + 1, n == 0 ? "F1-F4" : nullptr,
                         "load quick slot 1-4"});
        }
        for (int n = 0; n < kQuickSlots; ++n) {
            t.push_back({kVkF1 + n, true, Hotkey::kSaveSlot, n + 1,
                         n == 0 ? "Shift+F1-F4" : nullptr, "save quick slot 1-4"});
        }
        t.push_back({kVkF11, false, Hotkey::kFullScreen, 0, "F11", "full screen on and off"});
        t.push_back({kVkEscape, false, Hotkey::kLeaveFullScreen, 0, "Escape", "leave full screen"});
        t.push_back(
            {kVkF12, false, Hotkey::kScreenshot, 0, "F12", "screenshot (PNG beside the ROM)"});
        return t;
    }();
    return table;
}

HotkeyAction FindHotkey(const TGBSYSF& gb, std::uint32_t key, bool shift) {
    if (BoundToButton(gb, key)) return {};
    // Shift matters only to the keys with a shifted meaning (F1-F4); a fast-forward held while
    // Shift is down still runs.
    bool has_shifted = false;
    for (const HotkeyEntry& e : HotkeyTable()) has_shifted |= e.key == key && e.shift;
    for (const HotkeyEntry& e : HotkeyTable()) {
        if (e.key == key && (e.shift == shift || !has_shifted)) return {e.hotkey, e.slot};
    }
    return {};
}

std::string HotkeyHelp() {
    std::string text;
    for (const HotkeyEntry& e : HotkeyTable()) {
        if (!e.key_text) continue;
        std::string key = e.key_text;
        key.resize(13, ' ');
        text += "  " + key + e.help + "\n";
    }
    return text;
}

std::string QuickSlotPath(const std::string& rom_path, int slot) {
    std::string extension = ".";
    extension += std::to_string(slot);
    extension += ".kivostate";
    return fs::path(rom_path).replace_extension(extension).string();
}

std::string ScreenshotName(const std::string& rom_path, const std::tm& when) {
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &when);
    return fs::path(rom_path).stem().string() + "-" + stamp + ".png";
}

std::vector<std::string> ScreenshotFolders(const std::string& rom_path,
                                           const char* xdg_pictures_dir, const char* home) {
    std::vector<std::string> folders;
    fs::path rom_folder = fs::path(rom_path).parent_path();
    folders.push_back(rom_folder.empty() ? "." : rom_folder.string());
    if (xdg_pictures_dir && fs::path(xdg_pictures_dir).is_absolute()) {
        folders.push_back(xdg_pictures_dir);
    } else if (home && fs::path(home).is_absolute()) {
        folders.push_back((fs::path(home) / "Pictures").string());
    }
    return folders;
}

std::string FreeScreenshotPath(const std::string& folder, const std::string& name) {
    const fs::path base = fs::path(folder) / name;
    std::error_code ec;
    if (!fs::exists(base, ec)) return base.string();
    const std::string stem = base.stem().string();
    for (int n = 2;; ++n) {
        const fs::path candidate = fs::path(folder) / (stem + "-" + std::to_string(n) + ".png");
        if (!fs::exists(candidate, ec)) return candidate.string();
    }
}

}  // namespace kivo
