// The keyboard's and the game controllers' holds on the console buttons: a button is down while
// any source holds it, every press requests the joypad interrupt, and a source let go (a
// controller unplugged) releases only what it alone held.
#include "ui/button_holds.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/joypad.h"
#include "support/rom_builder.h"
#include "ui/keys.h"

namespace kivo {
namespace {

class ButtonHoldsTest : public ::testing::Test {
  protected:
    void SetUp() override { test::OpenImage(*gb, test::MakeRom()); }
    // The button's active-low bit, as the joypad register shows it.
    bool Down(int key) const { return test::ButtonDown(*gb, key); }
    bool TakeInterrupt() { return test::TakeJoypadInterrupt(*gb); }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
    ButtonHolds holds;
    static constexpr int kPad = 1, kOtherPad = 2;
};

TEST_F(ButtonHoldsTest, PressOnOneSourceReleaseOnTheOther) {
    holds.Press(*gb, KEY_A, ButtonHolds::kKeyboard);
    EXPECT_TRUE(Down(KEY_A));
    EXPECT_TRUE(TakeInterrupt());
    // The controller presses the held button again: a press for the program, interrupt and all.
    holds.Press(*gb, KEY_A, kPad);
    EXPECT_TRUE(TakeInterrupt());
    holds.Release(*gb, KEY_A, ButtonHolds::kKeyboard);
    EXPECT_TRUE(Down(KEY_A)) << "the controller still holds it";
    holds.Release(*gb, KEY_A, kPad);
    EXPECT_FALSE(Down(KEY_A));
    EXPECT_FALSE(TakeInterrupt()) << "releases request nothing";

    // The other way round, on a direction.
    holds.Press(*gb, KEY_LEFT, kPad);
    holds.Press(*gb, KEY_LEFT, ButtonHolds::kKeyboard);
    holds.Release(*gb, KEY_LEFT, kPad);
    EXPECT_TRUE(Down(KEY_LEFT));
    holds.Release(*gb, KEY_LEFT, ButtonHolds::kKeyboard);
    EXPECT_FALSE(Down(KEY_LEFT));
}

TEST_F(ButtonHoldsTest, AReleaseFromASourceThatDoesNotHoldTheButtonLetsGoOnlyWhenNoneDoes) {
    holds.Press(*gb, KEY_START, kPad);
    holds.Release(*gb, KEY_START, ButtonHolds::kKeyboard);
    holds.Release(*gb, KEY_START, kOtherPad);
    EXPECT_TRUE(Down(KEY_START));
    EXPECT_TRUE(holds.HeldBy(KEY_START, kPad));
    EXPECT_FALSE(holds.HeldBy(KEY_START, ButtonHolds::kKeyboard));
    // Out-of-range buttons and sources are ignored.
    holds.Press(*gb, 8, kPad);
    holds.Press(*gb, KEY_B, ButtonHolds::kMaxSources);
    holds.Release(*gb, KEY_START, -1);
    EXPECT_FALSE(Down(KEY_B));
    EXPECT_TRUE(Down(KEY_START));

    // A button down on the machine that no source holds (a state loaded with it pressed) is let
    // go by a release, as a key release always sets its bit.
    gb->PressButton(KEY_SELECT);
    holds.Release(*gb, KEY_SELECT, ButtonHolds::kKeyboard);
    EXPECT_FALSE(Down(KEY_SELECT));
}

TEST_F(ButtonHoldsTest, ReleaseAllLetsGoOnlyWhatNoOtherSourceHolds) {
    // An unplugged controller held Right, A and Start; the keyboard holds A, the other
    // controller Start.
    for (int key : {KEY_RIGHT, KEY_A, KEY_START}) holds.Press(*gb, key, kPad);
    holds.Press(*gb, KEY_A, ButtonHolds::kKeyboard);
    holds.Press(*gb, KEY_START, kOtherPad);
    TakeInterrupt();
    holds.ReleaseAll(*gb, kPad);
    EXPECT_FALSE(Down(KEY_RIGHT));
    EXPECT_TRUE(Down(KEY_A));
    EXPECT_TRUE(Down(KEY_START));
    EXPECT_FALSE(TakeInterrupt());
    for (int key = 0; key < 8; ++key) EXPECT_FALSE(holds.HeldBy(key, kPad)) << key;
    holds.ReleaseAll(*gb, kOtherPad);
    holds.ReleaseAll(*gb, ButtonHolds::kKeyboard);
    EXPECT_EQ(gb->state.joy_dir & 0x0F, 0x0F);
    EXPECT_EQ(gb->state.joy_btn & 0x0F, 0x0F);
}

TEST_F(ButtonHoldsTest, TheKeyboardPathGoesThroughTheHolds) {
    // W is bound to A by default; 0x20 (space) to nothing.
    holds.Press(*gb, KEY_A, kPad);
    KeyDown(*gb, holds, 0x57);
    EXPECT_TRUE(holds.HeldBy(KEY_A, ButtonHolds::kKeyboard));
    KeyUp(*gb, holds, 0x57);
    EXPECT_TRUE(Down(KEY_A));
    holds.Release(*gb, KEY_A, kPad);
    EXPECT_FALSE(Down(KEY_A));
    TakeInterrupt();
    KeyDown(*gb, holds, 0x20);
    EXPECT_TRUE(TakeInterrupt()) << "an unbound key still requests the interrupt";
    KeyUp(*gb, holds, 0x20);
    EXPECT_EQ(gb->state.joy_btn & 0x0F, 0x0F);
}

}  // namespace
}  // namespace kivo
