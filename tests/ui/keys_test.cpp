// Key names shown in the options dialog and the press/release rules of the key bindings.
#include "ui/keys.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/rom_builder.h"

namespace kivo {
namespace {

TEST(KeyNames, NamedCodesDigitsLettersAndTheRest) {
    EXPECT_EQ(KeyCodeName(0x0D), "RETURN");
    EXPECT_EQ(KeyCodeName(0x08), "BACK");
    EXPECT_EQ(KeyCodeName(0x12), "MENU");
    EXPECT_EQ(KeyCodeName(0x70), "F1");
    EXPECT_EQ(KeyCodeName(0x87), "F24");
    EXPECT_EQ(KeyCodeName(0xA5), "RMENU");
    EXPECT_EQ(KeyCodeName(0xFE), "OEM_CLEAR");
    EXPECT_EQ(KeyCodeName(0x30), "0");
    EXPECT_EQ(KeyCodeName(0x39), "9");
    EXPECT_EQ(KeyCodeName(0x41), "A");
    EXPECT_EQ(KeyCodeName(0x5A), "Z");
    EXPECT_EQ(KeyCodeName(0x00), "");
    EXPECT_EQ(KeyCodeName(0x07), "\x07");  // a gap between named codes
    EXPECT_EQ(KeyCodeName(0x88), "\x88");  // past F24
    EXPECT_EQ(KeyCodeName(0xFF), "\xFF");
    EXPECT_EQ(KeyCodeName(0x141), "A");  // above 0xFE: the low byte, even of a named code
    EXPECT_EQ(KeyCodeName(0x10D), "\x0D");
}

TEST(KeyNames, ExactlyTheDocumentedCodesHaveNames) {
    int named = 0;
    for (u32 code = 1; code <= 0xFF; ++code) {
        if (KeyCodeName(code) != std::string(1, static_cast<char>(code))) ++named;
    }
    EXPECT_EQ(named, 156);
}

TEST(KeyList, DefaultBindingsShowButtonAndKeyNames) {
    TGBSYSF gb;
    const char* expected[8] = {"Right : RIGHT", "Left : LEFT",  "Up : UP",       "Down : DOWN",
                               "Button A : W",  "Button B : X", "Select : BACK", "Start : RETURN"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(gb.JoyPad_Keys[i], kDefaultKeys[i]);
        EXPECT_EQ(KeyListLine(gb, i), expected[i]);
    }
    gb.JoyPad_Keys[KEY_A] = 0x5A;
    EXPECT_EQ(KeyListLine(gb, KEY_A), "Button A : Z");
}

class KeyPressTest : public ::testing::Test {
  protected:
    void SetUp() override { test::OpenImage(*gb, test::MakeRom()); }
    u8 Dir() const { return gb->state.joy_dir & 0x0F; }
    u8 Btn() const { return gb->state.joy_btn & 0x0F; }
    bool JoypadRequested() const { return (gb->state.IF & irq::JOYPAD) != 0; }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
};

TEST_F(KeyPressTest, BoundKeyHoldsItsButtonUntilReleased) {
    gb->state.IF = 0;
    KeyDown(*gb, 0x57);  // W: button A
    EXPECT_EQ(Btn(), 0x0E);
    EXPECT_EQ(Dir(), 0x0F);
    EXPECT_TRUE(JoypadRequested());

    gb->state.IF = 0;
    KeyDown(*gb, 0x28);  // down arrow, with A still held
    EXPECT_EQ(Dir(), 0x07);
    EXPECT_EQ(Btn(), 0x0E);

    gb->state.IF = 0;
    KeyUp(*gb, 0x57);
    EXPECT_EQ(Btn(), 0x0F);
    EXPECT_EQ(Dir(), 0x07);
    EXPECT_FALSE(JoypadRequested());  // releases request nothing
    KeyUp(*gb, 0x28);
    EXPECT_EQ(Dir(), 0x0F);
}

TEST_F(KeyPressTest, UnboundKeyRequestsTheInterruptOnly) {
    gb->state.IF = 0;
    KeyDown(*gb, 0x20);  // space
    EXPECT_EQ(Btn(), 0x0F);
    EXPECT_EQ(Dir(), 0x0F);
    EXPECT_TRUE(JoypadRequested());
    gb->state.IF = 0;
    KeyDown(*gb, 0);  // a key the window could not translate
    EXPECT_TRUE(JoypadRequested());
    EXPECT_EQ(Btn(), 0x0F);
}

TEST_F(KeyPressTest, KeyBoundTwicePlaysOnlyTheEarlierButtonInMatchOrder) {
    // Order: A, B, Select, Start, Right, Left, Up, Down.
    gb->JoyPad_Keys[KEY_RIGHT] = 0x57;  // the same key as A
    KeyDown(*gb, 0x57);
    EXPECT_EQ(Btn(), 0x0E);
    EXPECT_EQ(Dir(), 0x0F);
    KeyUp(*gb, 0x57);
    EXPECT_EQ(Btn(), 0x0F);

    gb->JoyPad_Keys[KEY_DOWN] = 0x0D;  // the same key as Start
    KeyDown(*gb, 0x0D);
    EXPECT_EQ(Btn(), 0x07);
    EXPECT_EQ(Dir(), 0x0F);
    KeyUp(*gb, 0x0D);
    EXPECT_EQ(Btn(), 0x0F);
}

TEST(ButtonNames, RunnerNamesMapToJoypadIndexes) {
    const char* names[8] = {"right", "left", "up", "down", "a", "b", "select", "start"};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(ButtonIndexByName(names[i]), i);
    EXPECT_EQ(ButtonIndexByName("Start"), KEY_START);
    EXPECT_EQ(ButtonIndexByName("Button A"), -1);
    EXPECT_EQ(ButtonIndexByName(""), -1);
}

}  // namespace
}  // namespace kivo
