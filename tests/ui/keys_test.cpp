// Key names shown in the options dialog, the press/release rules of the key bindings, the holds
// of the keyboard and the game controllers on the console buttons, the names of quick slots and
// screenshots, the status bar's passing messages, and kivo's command line. The hotkeys
// themselves are driven through the window in tests/app.
#include "ui/keys.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/joypad.h"
#include "support/rom_builder.h"
#include "support/temp_dir.h"
#include "ui/button_holds.h"
#include "ui/hotkeys.h"
#include "ui/kivo_args.h"

namespace kivo {
namespace {

// Virtual-key codes as published for Windows: ranges by their offsets, codes with no constant
// by their low byte.
TEST(KeyNames, RangesLowBytesAndDefaultBindings) {
    for (int n = 1; n <= 24; ++n)
        EXPECT_EQ(KeyCodeName(0x6F + n), std::string("F").append(std::to_string(n)));
    for (int n = 0; n <= 9; ++n) {
        EXPECT_EQ(KeyCodeName(0x60 + n), std::string("NUMPAD").append(std::to_string(n)));
        EXPECT_EQ(KeyCodeName(0x30 + n), std::string(1, static_cast<char>('0' + n)));
    }
    for (char c = 'A'; c <= 'Z'; ++c)
        EXPECT_EQ(KeyCodeName(static_cast<u32>(c)), std::string(1, c));
    const std::pair<u32, const char*> names[] = {{0x00, ""},      {0x88, "\x88"},
                                                 {0x141, "A"},    {0x10D, "\x0D"},
                                                 {0xC0, "OEM_3"}, {0xFE, "OEM_CLEAR"}};
    for (const auto& [code, name] : names) EXPECT_EQ(KeyCodeName(code), name) << code;

    TGBSYSF gb;
    const char* lines[8] = {"Right : RIGHT", "Left : LEFT",  "Up : UP",       "Down : DOWN",
                            "Button A : W",  "Button B : X", "Select : BACK", "Start : RETURN"};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(KeyListLine(gb, i), lines[i]);
}

TEST(KeyPress, BoundKeysHoldTheirButtonAndAnyPressRequestsTheInterrupt) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom());
    GbState& s = gb->state;
    // Each step: key down (+) or up (-), then the direction and button bits and whether the
    // joypad interrupt was requested. 0x57 is W (A), 0x27 the right arrow, 0x20 unbound.
    const struct {
        int key;
        u8 dir, btn;
        bool irq;
    } steps[] = {{+0x57, 0x0F, 0x0E, true},
                 {+0x27, 0x0E, 0x0E, true},
                 {-0x57, 0x0E, 0x0F, false},
                 {-0x27, 0x0F, 0x0F, false},
                 {+0x20, 0x0F, 0x0F, true}};
    for (const auto& step : steps) {
        s.IF = 0;
        if (step.key >= 0) KeyDown(*gb, static_cast<u32>(step.key));
        if (step.key < 0) KeyUp(*gb, static_cast<u32>(-step.key));
        EXPECT_EQ(s.joy_dir & 0x0F, step.dir) << step.key;
        EXPECT_EQ(s.joy_btn & 0x0F, step.btn) << step.key;
        EXPECT_EQ((s.IF & irq::JOYPAD) != 0, step.irq) << step.key;
    }
    // A key bound twice plays only the earlier button in the order A, B, Select, Start, Right,
    // Left, Up, Down.
    gb->JoyPad_Keys[KEY_DOWN] = 0x0D;  // the same key as Start
    KeyDown(*gb, 0x0D);
    EXPECT_EQ(s.joy_btn & 0x0F, 0x07);
    EXPECT_EQ(s.joy_dir & 0x0F, 0x0F);
}

TEST(ButtonHolds, AButtonIsDownWhileAnySourceHoldsIt) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom());
    const auto down = [&](int key) { return test::ButtonDown(*gb, key); };
    ButtonHolds holds;
    constexpr int kPad = 1, kOtherPad = 2;
    // The keyboard path goes through the holds: W is A.
    KeyDown(*gb, holds, 0x57);
    EXPECT_TRUE(test::TakeJoypadInterrupt(*gb));
    holds.Press(*gb, KEY_A, kPad);
    EXPECT_TRUE(test::TakeJoypadInterrupt(*gb)) << "a press for the program, interrupt and all";
    KeyUp(*gb, holds, 0x57);
    EXPECT_TRUE(down(KEY_A)) << "the controller still holds it";
    holds.Release(*gb, KEY_A, kOtherPad);
    EXPECT_TRUE(down(KEY_A)) << "released by a source that never held it";
    holds.Release(*gb, KEY_A, kPad);
    EXPECT_FALSE(down(KEY_A));
    EXPECT_FALSE(test::TakeJoypadInterrupt(*gb)) << "releases request nothing";

    // An unplugged controller held Right, A and Start; the keyboard holds A, the other
    // controller Start.
    for (int key : {KEY_RIGHT, KEY_A, KEY_START}) holds.Press(*gb, key, kPad);
    holds.Press(*gb, KEY_A, ButtonHolds::kKeyboard);
    holds.Press(*gb, KEY_START, kOtherPad);
    holds.ReleaseAll(*gb, kPad);
    EXPECT_FALSE(down(KEY_RIGHT));
    EXPECT_TRUE(down(KEY_A));
    EXPECT_TRUE(down(KEY_START));
    EXPECT_FALSE(holds.HeldBy(KEY_START, kPad));

    // A button down that no source holds (a state loaded with it pressed) is let go by a release.
    gb->PressButton(KEY_SELECT);
    holds.Release(*gb, KEY_SELECT, ButtonHolds::kKeyboard);
    EXPECT_FALSE(down(KEY_SELECT));
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
    WriteText("t-1.png", "x");
    WriteText("t-1-2.png", "x");
    EXPECT_EQ(FreeScreenshotPath(Path(""), "t-1.png"), Path("t-1-3.png"));

    StatusFlash flash;
    flash.Show("State 2 saved", 1000);
    EXPECT_EQ(flash.Text("usual", 2999), "State 2 saved");
    EXPECT_EQ(flash.Text("usual", 3000), "usual");
}

TEST(KivoArgsTest, OptionsRomAndErrors) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"a.gb", "--fullscreen"}, "rom 'a.gb' fullscreen"},
        {{"-h"}, "rom '' help"},
        {{"--version"}, "rom '' version"},
        {{"--", "-x.gb"}, "rom '-x.gb'"},
        {{"-"}, "rom '-'"},
        {{"--full"}, "error: unknown option --full"},
        {{"a.gb", "b.gb"}, "error: more than one ROM: b.gb"},
    };
    for (const auto& [words, expected] : cases) {
        KivoArgs args;
        std::string error;
        std::string got =
            ParseKivoArgs(words, &args, &error) ? "rom '" + args.rom + "'" : "error: " + error;
        if (args.help) got += " help";
        if (args.version) got += " version";
        if (args.fullscreen) got += " fullscreen";
        EXPECT_EQ(got, expected);
    }
}

}  // namespace
}  // namespace kivo
