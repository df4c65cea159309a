// Key names shown in the options dialog and the press/release rules of the key bindings.
#include "ui/keys.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/rom_builder.h"

namespace kivo {
namespace {

TEST(KeyNames, NamedCodesDigitsLettersAndTheRest) {
    // Codes between or past the named ones show as their own character; above 0xFE only the low
    // byte counts, even of a named code.
    // clang-format off
    const std::pair<u32, const char*> names[] = {
        {0x0D, "RETURN"}, {0x08, "BACK"}, {0x12, "MENU"}, {0x70, "F1"}, {0x87, "F24"},
        {0xA5, "RMENU"}, {0xFE, "OEM_CLEAR"}, {0x30, "0"}, {0x39, "9"}, {0x41, "A"}, {0x5A, "Z"},
        {0x00, ""}, {0x07, "\x07"}, {0x88, "\x88"}, {0xFF, "\xFF"}, {0x141, "A"}, {0x10D, "\x0D"}};
    // clang-format on
    for (const auto& [code, name] : names) EXPECT_EQ(KeyCodeName(code), name) << code;
}

TEST(KeyNames, DefaultBindingsListButtonAndKeyNames) {
    TGBSYSF gb;
    const char* lines[8] = {"Right : RIGHT", "Left : LEFT",  "Up : UP",       "Down : DOWN",
                            "Button A : W",  "Button B : X", "Select : BACK", "Start : RETURN"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(KeyListLine(gb, i), lines[i]);
    }
    gb.JoyPad_Keys[KEY_A] = 0x5A;
    EXPECT_EQ(KeyListLine(gb, KEY_A), "Button A : Z");
}

TEST(KeyPress, BoundKeysHoldTheirButtonAndAnyPressRequestsTheInterrupt) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom());
    GbState& s = gb->state;
    // Each step: key down (+) or up (-), then the direction and button bits and whether the
    // joypad interrupt was requested. 0x57 is W (A), 0x28 the down arrow, 0x20 unbound.
    const struct {
        int key;
        u8 dir, btn;
        bool irq;
    } steps[] = {{+0x57, 0x0F, 0x0E, true},  {+0x28, 0x07, 0x0E, true}, {-0x57, 0x07, 0x0F, false},
                 {-0x28, 0x0F, 0x0F, false}, {+0x20, 0x0F, 0x0F, true}, {+0, 0x0F, 0x0F, true}};
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
    gb->JoyPad_Keys[KEY_RIGHT] = 0x57;  // the same key as A
    gb->JoyPad_Keys[KEY_DOWN] = 0x0D;   // the same key as Start
    KeyDown(*gb, 0x57);
    KeyDown(*gb, 0x0D);
    EXPECT_EQ(s.joy_btn & 0x0F, 0x06);
    EXPECT_EQ(s.joy_dir & 0x0F, 0x0F);
    KeyUp(*gb, 0x57);
    KeyUp(*gb, 0x0D);
    EXPECT_EQ(s.joy_btn & 0x0F, 0x0F);
}

}  // namespace
}  // namespace kivo
