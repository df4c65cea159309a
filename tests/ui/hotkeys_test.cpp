// The player's hotkeys: which key does what and when a button binding takes the key, the names
// of quick slots and screenshots, the status bar's passing messages, and kivo's command line.
#include "ui/hotkeys.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/temp_dir.h"
#include "ui/kivo_args.h"

namespace kivo {
namespace {

TEST(HotkeysTest, KeysActUnlessBoundAndShiftOnlyChoosesTheSlotCommand) {
    auto gb = std::make_unique<TGBSYSF>();
    struct Case {
        u32 key;
        bool shift;
        Hotkey hotkey;
        int slot;
    } const cases[] = {
        {0x09, false, Hotkey::kFastForward, 0}, {0x09, true, Hotkey::kFastForward, 0},
        {0xC0, false, Hotkey::kRewind, 0},      {0x70, false, Hotkey::kLoadSlot, 1},
        {0x73, false, Hotkey::kLoadSlot, 4},    {0x71, true, Hotkey::kSaveSlot, 2},
        {0x7A, false, Hotkey::kFullScreen, 0},  {0x1B, false, Hotkey::kLeaveFullScreen, 0},
        {0x7B, true, Hotkey::kScreenshot, 0},   {0x74, false, Hotkey::kNone, 0},  // F5: a menu's
        {0x20, false, Hotkey::kNone, 0},        {0x0D, false, Hotkey::kNone, 0},  // Start
    };
    for (const Case& c : cases) {
        const HotkeyAction a = FindHotkey(*gb, c.key, c.shift);
        EXPECT_EQ(a.hotkey, c.hotkey) << std::hex << c.key << " shift " << c.shift;
        EXPECT_EQ(a.slot, c.slot) << std::hex << c.key;
    }
    // A binding wins, for both meanings of a slot key.
    gb->JoyPad_Keys[7] = 0x09;
    gb->JoyPad_Keys[0] = 0x71;
    EXPECT_EQ(FindHotkey(*gb, 0x09, false).hotkey, Hotkey::kNone);
    EXPECT_EQ(FindHotkey(*gb, 0x71, false).hotkey, Hotkey::kNone);
    EXPECT_EQ(FindHotkey(*gb, 0x71, true).hotkey, Hotkey::kNone);
    EXPECT_EQ(FindHotkey(*gb, 0x72, true).hotkey, Hotkey::kSaveSlot);
}

class FileNamesTest : public test::TempDirTest {};

TEST_F(FileNamesTest, SlotsAndScreenshotsAreNamedAfterTheRom) {
    EXPECT_EQ(QuickSlotPath("/g/Zelda DX.gbc", 3), "/g/Zelda DX.3.kivostate");
    EXPECT_EQ(QuickSlotPath("/g.v2/rom", 1), "/g.v2/rom.1.kivostate");
    EXPECT_EQ(QuickSlotPath("game.1.gb", 2), "game.1.2.kivostate");

    std::tm when = {};
    when.tm_year = 2026 - 1900, when.tm_mon = 11, when.tm_mday = 7;
    when.tm_hour = 9, when.tm_min = 5, when.tm_sec = 3;
    EXPECT_EQ(ScreenshotName("/g/tetris.gb", when), "tetris-20261207-090503.png");

    using V = std::vector<std::string>;
    EXPECT_EQ(ScreenshotFolders("/g/t.gb", "/pics", "/home/u"), (V{"/g", "/pics"}));
    EXPECT_EQ(ScreenshotFolders("t.gb", nullptr, "/home/u"), (V{".", "/home/u/Pictures"}));
    EXPECT_EQ(ScreenshotFolders("/g/t.gb", "rel", "/home/u"), (V{"/g", "/home/u/Pictures"}));
    EXPECT_EQ(ScreenshotFolders("/g/t.gb", nullptr, nullptr), (V{"/g"}));

    // Two screenshots in one second both stay.
    EXPECT_EQ(FreeScreenshotPath(Path(""), "t-1.png"), Path("t-1.png"));
    WriteText("t-1.png", "x");
    WriteText("t-1-2.png", "x");
    EXPECT_EQ(FreeScreenshotPath(Path(""), "t-1.png"), Path("t-1-3.png"));
}

TEST(HotkeysTest, StatusMessageShowsForTwoSecondsThenTheUsualText) {
    StatusFlash flash;
    EXPECT_EQ(flash.Text("usual", 0), "usual");
    flash.Show("State 2 saved", 1000);
    EXPECT_EQ(flash.Text("usual", 1000), "State 2 saved");
    EXPECT_EQ(flash.Text("usual", 2999), "State 2 saved");
    EXPECT_EQ(flash.Text("usual", 3000), "usual");
}

TEST(KivoArgsTest, OptionsRomAndErrors) {
    struct Case {
        std::vector<std::string> words;
        bool ok;
        bool help, version, fullscreen;
        const char* rom_or_error;
    } const cases[] = {
        {{}, true, false, false, false, ""},
        {{"a.gb"}, true, false, false, false, "a.gb"},
        {{"--fullscreen", "a.gb"}, true, false, false, true, "a.gb"},
        {{"a.gb", "--fullscreen"}, true, false, false, true, "a.gb"},
        {{"--help"}, true, true, false, false, ""},
        {{"-h"}, true, true, false, false, ""},
        {{"--version"}, true, false, true, false, ""},
        {{"--", "-x.gb"}, true, false, false, false, "-x.gb"},
        {{"-"}, true, false, false, false, "-"},
        {{"--full"}, false, false, false, false, "unknown option --full"},
        {{"-platform", "offscreen"}, false, false, false, false, "unknown option -platform"},
        {{"a.gb", "b.gb"}, false, false, false, false, "more than one ROM: b.gb"},
    };
    for (const Case& c : cases) {
        KivoArgs args;
        std::string error;
        ASSERT_EQ(ParseKivoArgs(c.words, &args, &error), c.ok) << c.rom_or_error;
        if (!c.ok) {
            EXPECT_EQ(error, c.rom_or_error);
            continue;
        }
        EXPECT_EQ(args.help, c.help);
        EXPECT_EQ(args.version, c.version);
        EXPECT_EQ(args.fullscreen, c.fullscreen);
        EXPECT_EQ(args.rom, c.rom_or_error);
    }
    // The help lists every hotkey.
    const std::string help = KivoHelpText();
    for (const char* key : {"Tab", "`", "Shift+F1-F4", "F11", "F12", "Escape", "--fullscreen"}) {
        EXPECT_NE(help.find(key), std::string::npos) << key;
    }
}

}  // namespace
}  // namespace kivo
