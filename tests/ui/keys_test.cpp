// Key names shown in the options dialog and the press/release rules of the key bindings.
#include "ui/keys.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/rom_builder.h"

namespace kivo {
namespace {

// Virtual-key codes as published for Windows: the function keys, the numeric pad and a few
// named keys by their constants, digits and letters as their own characters.
TEST(KeyNames, PublishedVirtualKeyCodes) {
    for (int n = 1; n <= 24; ++n)
        EXPECT_EQ(KeyCodeName(0x6F + n), std::string("F").append(std::to_string(n)));
    for (int n = 0; n <= 9; ++n) {
        EXPECT_EQ(KeyCodeName(0x60 + n), std::string("NUMPAD").append(std::to_string(n)));
        EXPECT_EQ(KeyCodeName(0x30 + n), std::string(1, static_cast<char>('0' + n)));
    }
    for (char c = 'A'; c <= 'Z'; ++c)
        EXPECT_EQ(KeyCodeName(static_cast<u32>(c)), std::string(1, c));
    // clang-format off
    const std::pair<u32, const char*> named[] = {
        {0x08, "BACK"}, {0x09, "TAB"}, {0x0D, "RETURN"}, {0x10, "SHIFT"}, {0x1B, "ESCAPE"},
        {0x20, "SPACE"}, {0x25, "LEFT"}, {0x26, "UP"}, {0x27, "RIGHT"}, {0x28, "DOWN"},
        {0x2E, "DELETE"}, {0x5B, "LWIN"}, {0x90, "NUMLOCK"}, {0xA0, "LSHIFT"}, {0xA5, "RMENU"},
        {0xBA, "OEM_1"}, {0xDE, "OEM_7"}, {0xFE, "OEM_CLEAR"}};
    // clang-format on
    for (const auto& [code, name] : named) EXPECT_EQ(KeyCodeName(code), name) << code;
}

TEST(KeyNames, UnnamedCodesShowTheirLowByte) {
    // Codes with no constant show as their own character; above 0xFF only the low byte counts,
    // even of a named code; a zero low byte shows nothing.
    const std::pair<u32, const char*> names[] = {{0x00, ""},     {0x07, "\x07"}, {0x88, "\x88"},
                                                 {0xFF, "\xFF"}, {0x141, "A"},   {0x10D, "\x0D"}};
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
