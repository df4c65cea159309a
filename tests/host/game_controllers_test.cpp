// Game controllers: the mapping of SDL's controller buttons and left stick onto the console
// buttons, then the poller itself driving the machine from SDL's virtual joystick, a pretend
// controller that needs no hardware and no video.
#include "host/game_controllers.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <memory>

#include "support/joypad.h"
#include "support/rom_builder.h"
#include "support/virtual_pad.h"
#include "ui/keys.h"

namespace kivo {
namespace {

TEST(ControllerMapping, FaceButtonsByPositionDPadStartAndBack) {
    // The south face button is B and the east one A, as on the console where A sits right of B.
    const struct {
        int sdl;
        int key;
    } mapped[] = {{SDL_CONTROLLER_BUTTON_DPAD_RIGHT, KEY_RIGHT},
                  {SDL_CONTROLLER_BUTTON_DPAD_LEFT, KEY_LEFT},
                  {SDL_CONTROLLER_BUTTON_DPAD_UP, KEY_UP},
                  {SDL_CONTROLLER_BUTTON_DPAD_DOWN, KEY_DOWN},
                  {SDL_CONTROLLER_BUTTON_A, KEY_B},
                  {SDL_CONTROLLER_BUTTON_B, KEY_A},
                  {SDL_CONTROLLER_BUTTON_BACK, KEY_SELECT},
                  {SDL_CONTROLLER_BUTTON_START, KEY_START}};
    int played = 0;
    for (int button = -1; button <= SDL_CONTROLLER_BUTTON_MAX; ++button) {
        int expected = -1;
        for (const auto& m : mapped) {
            if (m.sdl == button) expected = m.key;
        }
        EXPECT_EQ(ControllerButtonKey(button), expected) << button;
        if (expected >= 0) played |= 1 << expected;
    }
    EXPECT_EQ(played, 0xFF) << "every console button has a controller button";
}

TEST(ControllerMapping, LeftStickHasARoundDeadZoneAndEightEqualSectors) {
    constexpr u8 R = 1 << KEY_RIGHT, L = 1 << KEY_LEFT, U = 1 << KEY_UP, D = 1 << KEY_DOWN;
    const struct {
        int x, y;
        u8 before, after;
    } cases[] = {
        {0, 0, 0, 0},
        {16383, 0, 0, 0},               // just inside the dead zone
        {16384, 0, 0, R},               // half travel
        {-16384, 0, 0, L},              //
        {0, -32768, 0, U},              // full travel up
        {0, 32767, 0, D},               //
        {11500, 11500, 0, 0},           // a diagonal inside the round zone...
        {13902, 13902, 0, R | D},       // ...and at 60% travel, where each axis alone is below half
        {14000, 0, R, R},               // easing back: still held above 40%
        {14000, 0, 0, 0},               // but not pressed from rest
        {13106, 0, R, 0},               // below 40% lets go
        {25981, -15000, 0, R | U},      // 30° above right: the up-right sector
        {28191, -10261, 0, R},          // 20°: right alone
        {28191, -10261, R | U, R | U},  // but a held Up stays down there
        {28978, -7765, R | U, R},       // and lets go by 15°
        {-14000, 32767, L | U, L | D},  // up let go at once when the stick swings down
        {32767, 0, L, R},               // from left straight to right
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StickDirections(c.x, c.y, c.before), c.after)
            << c.x << ", " << c.y << " from " << int(c.before);
    }
}

class VirtualControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::OpenImage(*gb, test::MakeRom());
        // The virtual joystick needs the joystick subsystem, which the poller takes.
        ASSERT_TRUE(pads.Init()) << SDL_GetError();
    }
    bool Down(int key) const { return test::ButtonDown(*gb, key); }
    u8 Buttons() const { return gb->state.joy_btn & 0x0F; }
    u8 Directions() const { return gb->state.joy_dir & 0x0F; }
    bool TakeInterrupt() { return test::TakeJoypadInterrupt(*gb); }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
    ButtonHolds holds;
    GameControllers pads{*gb, holds};
};

TEST_F(VirtualControllerTest, AControllerConnectedWhileRunningPlaysAtOnce) {
    pads.Poll();
    EXPECT_EQ(pads.count(), 0);
    test::VirtualPad pad;
    ASSERT_TRUE(pad.attached()) << SDL_GetError();
    pads.Poll();
    ASSERT_EQ(pads.count(), 1) << "no mapping for the virtual controller?";
    EXPECT_EQ(Buttons(), 0x0F);
    EXPECT_EQ(Directions(), 0x0F);
    TakeInterrupt();

    // The east face button is A, the south one B; the joypad interrupt comes with each press.
    pad.Button(SDL_CONTROLLER_BUTTON_B, true);
    pads.Poll();
    EXPECT_TRUE(Down(KEY_A));
    EXPECT_TRUE(TakeInterrupt());
    pad.Button(SDL_CONTROLLER_BUTTON_A, true);
    pad.Button(SDL_CONTROLLER_BUTTON_BACK, true);
    pad.Button(SDL_CONTROLLER_BUTTON_START, true);
    pads.Poll();
    EXPECT_EQ(Buttons(), 0x00);
    EXPECT_TRUE(TakeInterrupt());
    pads.Poll();  // past the shortest hold: the releases act at once
    for (auto b : {SDL_CONTROLLER_BUTTON_A, SDL_CONTROLLER_BUTTON_B, SDL_CONTROLLER_BUTTON_BACK,
                   SDL_CONTROLLER_BUTTON_START}) {
        pad.Button(b, false);
    }
    pads.Poll();
    EXPECT_EQ(Buttons(), 0x0F);
    EXPECT_FALSE(TakeInterrupt());

    // The D-pad and the stick both play the directions; a direction held by both stays down
    // until both let go.
    pad.Button(SDL_CONTROLLER_BUTTON_DPAD_LEFT, true);
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTX, -32768);
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTY, 30000);
    pads.Poll();
    EXPECT_EQ(Directions(), 0x0F & ~(1 << KEY_LEFT | 1 << KEY_DOWN));
    pad.Button(SDL_CONTROLLER_BUTTON_DPAD_LEFT, false);
    pads.Poll();
    EXPECT_TRUE(Down(KEY_LEFT)) << "the stick still holds Left";
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTX, -8000);  // inside the dead zone
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTY, 0);
    pads.Poll();
    EXPECT_EQ(Directions(), 0x0F);
}

TEST_F(VirtualControllerTest, UnpluggingReleasesEveryButtonItHeldAndNoOther) {
    test::VirtualPad pad, second;
    ASSERT_TRUE(pad.attached() && second.attached()) << SDL_GetError();
    pads.Poll();
    ASSERT_EQ(pads.count(), 2);
    pad.Button(SDL_CONTROLLER_BUTTON_B, true);      // A
    pad.Button(SDL_CONTROLLER_BUTTON_START, true);  // Start
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTX, 32767);     // Right
    second.Button(SDL_CONTROLLER_BUTTON_START, true);
    pads.Poll();
    KeyDown(*gb, holds, 0x57);  // W, A on the keyboard too
    EXPECT_EQ(Buttons(), 0x06);
    EXPECT_TRUE(Down(KEY_RIGHT));

    // SDL lets go of a removed controller's buttons and centres its stick before reporting the
    // removal; not every removal comes that way (a driver that vanishes, events dropped from a
    // full queue), so those events are thrown away here and the removal alone must do.
    pad.Unplug();
    SDL_PumpEvents();
    SDL_FlushEvents(SDL_CONTROLLERAXISMOTION, SDL_CONTROLLERBUTTONUP);
    pads.Poll();
    EXPECT_EQ(pads.count(), 1);
    EXPECT_FALSE(Down(KEY_RIGHT));
    EXPECT_TRUE(Down(KEY_A)) << "the keyboard holds it";
    EXPECT_TRUE(Down(KEY_START)) << "the other controller holds it";

    second.Unplug();
    pads.Poll();
    EXPECT_EQ(pads.count(), 0);
    EXPECT_EQ(Buttons(), 0x0E);
}

TEST_F(VirtualControllerTest, ATapWithinOnePollIsHeldForTwoPolls) {
    test::VirtualPad pad;
    ASSERT_TRUE(pad.attached()) << SDL_GetError();
    pads.Poll();
    TakeInterrupt();
    // Down and up again before the window polls: the events keep the press, and the button
    // stays down long enough for a game that reads it once a frame.
    pad.Button(SDL_CONTROLLER_BUTTON_A, true);
    SDL_JoystickUpdate();
    pad.Button(SDL_CONTROLLER_BUTTON_A, false);
    SDL_JoystickUpdate();
    pads.Poll();
    EXPECT_TRUE(TakeInterrupt());
    EXPECT_TRUE(Down(KEY_B));
    pads.Poll();
    EXPECT_TRUE(Down(KEY_B));
    pads.Poll();
    EXPECT_FALSE(Down(KEY_B));
    EXPECT_FALSE(TakeInterrupt());

    // A tap shortened so, pressed again before its release acts, is one long press.
    pad.Button(SDL_CONTROLLER_BUTTON_START, true);
    SDL_JoystickUpdate();
    pad.Button(SDL_CONTROLLER_BUTTON_START, false);
    pads.Poll();
    pad.Button(SDL_CONTROLLER_BUTTON_START, true);
    pads.Poll();
    pads.Poll();
    pads.Poll();
    EXPECT_TRUE(Down(KEY_START));
}

TEST_F(VirtualControllerTest, ShutdownLetsGoOfTheControllersButtons) {
    test::VirtualPad pad;
    ASSERT_TRUE(pad.attached()) << SDL_GetError();
    pads.Poll();
    pad.Button(SDL_CONTROLLER_BUTTON_DPAD_DOWN, true);
    pads.Poll();
    KeyDown(*gb, holds, 0x58);  // X, B
    EXPECT_TRUE(Down(KEY_DOWN));
    pad.Unplug();  // before the subsystem goes
    pads.Shutdown();
    EXPECT_FALSE(pads.ready());
    EXPECT_FALSE(Down(KEY_DOWN));
    EXPECT_TRUE(Down(KEY_B));
    pads.Poll();  // does nothing once shut down
    EXPECT_TRUE(pads.Init()) << "and can start again";
}

}  // namespace
}  // namespace kivo
