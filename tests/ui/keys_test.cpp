// Key names shown in the options dialog, the press/release rules of the key bindings, the holds
// of the keyboard and the game controllers on the console buttons, and kivo's command line. The
// hotkeys, quick slots and screenshots are driven through the window in tests/app.
#include "ui/keys.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "support/rom_builder.h"
#include "ui/button_holds.h"
#include "ui/kivo_args.h"

namespace kivo {
namespace {

// Virtual-key codes as published for Windows: the ends of each range, and codes with no constant
// by their low byte.
TEST(KeyNames, RangesAndLowBytes) {
    const std::pair<u32, const char*> names[] = {
        {0x70, "F1"}, {0x87, "F24"},   {0x60, "NUMPAD0"}, {0x69, "NUMPAD9"},  {0x30, "0"},
        {0x39, "9"},  {0x41, "A"},     {0x5A, "Z"},       {0x00, ""},         {0x88, "\x88"},
        {0x141, "A"}, {0x10D, "\x0D"}, {0xC0, "OEM_3"},   {0xFE, "OEM_CLEAR"}};
    for (const auto& [code, name] : names) EXPECT_EQ(KeyCodeName(code), name) << code;
}

// Each step, then the direction and button bits (active low) and whether the step requested the
// joypad interrupt. The keyboard plays through the bindings (0x57 is W, A; 0x27 the right arrow;
// 0x20 unbound), alone or through the holds beside the game controllers, where a button is down
// while any source holds it.
TEST(KeyPress, KeysAndControllersHoldButtonsAndAnyPressRequestsTheInterrupt) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom());
    ButtonHolds holds;
    constexpr int kPad = 1, kOtherPad = 2;
    const struct {
        const char* step;
        std::function<void()> run;
        u8 dir, btn;
        bool irq;
    } steps[] = {
        {"W down", [&] { KeyDown(*gb, 0x57); }, 0x0F, 0x0E, true},
        {"right down", [&] { KeyDown(*gb, 0x27); }, 0x0E, 0x0E, true},
        {"W up", [&] { KeyUp(*gb, 0x57); }, 0x0E, 0x0F, false},
        {"right up", [&] { KeyUp(*gb, 0x27); }, 0x0F, 0x0F, false},
        {"unbound down", [&] { KeyDown(*gb, 0x20); }, 0x0F, 0x0F, true},
        {"W down, held", [&] { KeyDown(*gb, holds, 0x57); }, 0x0F, 0x0E, true},
        {"pad A down", [&] { holds.Press(*gb, KEY_A, kPad); }, 0x0F, 0x0E, true},
        {"W up, the pad holds A", [&] { KeyUp(*gb, holds, 0x57); }, 0x0F, 0x0E, false},
        {"A up from another pad", [&] { holds.Release(*gb, KEY_A, kOtherPad); }, 0x0F, 0x0E, false},
        {"pad A up", [&] { holds.Release(*gb, KEY_A, kPad); }, 0x0F, 0x0F, false},
        // A controller holds Right, A and Start; the keyboard holds A, the other controller Start.
        {"all down",
         [&] {
             for (int key : {KEY_RIGHT, KEY_A, KEY_START}) holds.Press(*gb, key, kPad);
             holds.Press(*gb, KEY_A, ButtonHolds::kKeyboard);
             holds.Press(*gb, KEY_START, kOtherPad);
         },
         0x0E, 0x06, true},
        {"pad unplugged", [&] { holds.ReleaseAll(*gb, kPad); }, 0x0F, 0x06, false},
        {"other pad start up", [&] { holds.Release(*gb, KEY_START, kOtherPad); }, 0x0F, 0x0E,
         false},
        // A button down that no source holds (a state loaded with it pressed) is let go by a
        // release.
        {"select pressed", [&] { gb->PressButton(KEY_SELECT); }, 0x0F, 0x0A, true},
        {"select up", [&] { holds.Release(*gb, KEY_SELECT, ButtonHolds::kKeyboard); }, 0x0F, 0x0E,
         false},
    };
    for (const auto& step : steps) {
        gb->state.IF = 0;
        step.run();
        EXPECT_EQ(gb->state.joy_dir & 0x0F, step.dir) << step.step;
        EXPECT_EQ(gb->state.joy_btn & 0x0F, step.btn) << step.step;
        EXPECT_EQ((gb->state.IF & irq::JOYPAD) != 0, step.irq) << step.step;
    }
}

TEST(KivoArgsTest, OptionsRomAndErrors) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"a.gb", "--fullscreen"}, "rom 'a.gb' fullscreen"},
        {{"-h"}, "rom '' help"},
        {{"--version"}, "rom '' version"},
        {{"--", "-x.gb"}, "rom '-x.gb'"},
        {{"-"}, "rom '-'"},
        {{"--full"}, "error: unknown option --full"},
        {{"a.gb", "b.gb"}, "error: more than one ROM: b.gb"}};
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
