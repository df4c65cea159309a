// Game controllers: the left stick's mapping onto the directions, then the poller driving the
// machine from SDL's virtual joystick, a pretend controller that needs no hardware and no video;
// and the worker's priority levels on the host's scheduler.
#include "host/game_controllers.h"

#include <SDL.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "host/thread_priority.h"
#include "support/joypad.h"
#include "support/rom_builder.h"
#include "support/virtual_pad.h"
#include "ui/keys.h"

namespace kivo {
namespace {

TEST(ControllerMapping, LeftStickHasARoundDeadZoneAndEightEqualSectors) {
    constexpr u8 R = 1 << KEY_RIGHT, L = 1 << KEY_LEFT, U = 1 << KEY_UP, D = 1 << KEY_DOWN;
    const struct {
        int x, y;
        u8 before, after;
    } cases[] = {
        {16383, 0, 0, 0},               // just inside the dead zone
        {-16384, 0, 0, L},              // half travel
        {0, -32768, 0, U},              // full travel up
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
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StickDirections(c.x, c.y, c.before), c.after)
            << c.x << ", " << c.y << " from " << int(c.before);
    }
}

// A controller connected while running plays at once; a tap within one poll is held for two; the
// D-pad and the stick share the directions; unplugged, it lets go of what it held, though SDL's
// own releases never came. The virtual joystick needs no hardware and no video.
TEST(VirtualController, PlugTapPlayShareAndUnplug) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom());
    ButtonHolds holds;
    GameControllers pads{*gb, holds};
    // The virtual joystick needs the joystick subsystem, which the poller takes.
    ASSERT_TRUE(pads.Init()) << SDL_GetError();
    test::VirtualPad pad;
    ASSERT_TRUE(pad.attached()) << SDL_GetError();
    pads.Poll();
    ASSERT_EQ(pads.count(), 1) << "no mapping for the virtual controller?";
    test::TakeJoypadInterrupt(*gb);
    // Down and up again before the window polls: the events keep the press, and the button stays
    // down long enough for a game that reads it once a frame.
    pad.Button(SDL_CONTROLLER_BUTTON_A, true);
    SDL_JoystickUpdate();
    pad.Button(SDL_CONTROLLER_BUTTON_A, false);
    SDL_JoystickUpdate();
    pads.Poll();
    EXPECT_TRUE(test::TakeJoypadInterrupt(*gb));
    pads.Poll();
    EXPECT_TRUE(test::ButtonDown(*gb, KEY_B));
    pads.Poll();
    EXPECT_FALSE(test::ButtonDown(*gb, KEY_B));

    // The east face button is A, the south one B; the joypad interrupt comes with each press.
    pad.Button(SDL_CONTROLLER_BUTTON_B, true);
    pad.Button(SDL_CONTROLLER_BUTTON_START, true);
    pad.Button(SDL_CONTROLLER_BUTTON_A, true);
    pad.Button(SDL_CONTROLLER_BUTTON_BACK, true);
    pads.Poll();
    EXPECT_EQ(gb->state.joy_btn & 0x0F, 0x00);
    EXPECT_TRUE(test::TakeJoypadInterrupt(*gb));
    pad.Button(SDL_CONTROLLER_BUTTON_DPAD_LEFT, true);
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTX, -32768);
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTY, 30000);
    pads.Poll();
    pad.Button(SDL_CONTROLLER_BUTTON_DPAD_LEFT, false);
    pads.Poll();
    EXPECT_TRUE(test::ButtonDown(*gb, KEY_LEFT)) << "the stick still holds Left";
    EXPECT_TRUE(test::ButtonDown(*gb, KEY_DOWN));
    KeyDown(*gb, holds, 0x0D);  // Return, Start on the keyboard too

    pad.Unplug();
    SDL_PumpEvents();
    SDL_FlushEvents(SDL_CONTROLLERAXISMOTION, SDL_CONTROLLERBUTTONUP);
    pads.Poll();
    EXPECT_EQ(pads.count(), 0);
    EXPECT_FALSE(test::ButtonDown(*gb, KEY_LEFT));
    EXPECT_EQ(gb->state.joy_btn & 0x0F, 0x07) << "but Start, which the keyboard holds";
    pads.Shutdown();
    EXPECT_TRUE(pads.Init()) << "and can start again";
}

TEST(ThreadPriorityTest, LevelsMapLowestToHighestAndOnlyTheCallingThreadChanges) {
    const auto own_nice = [] { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); };
    for (std::uint32_t level = 1; level < 5; ++level) {
        EXPECT_LT(NiceForThreadPriority(level), NiceForThreadPriority(level - 1));
    }
    EXPECT_EQ(NiceForThreadPriority(2), 0) << "Normal is the process's own";
    EXPECT_EQ(NiceForThreadPriority(99), NiceForThreadPriority(4));
    const int main_nice = own_nice();
    int lowered = 0;
    std::thread worker([&] {
        ApplyThreadPriority(0);
        lowered = own_nice();
        ApplyThreadPriority(4);  // needs a privilege: granted (root) or refused silently
    });
    worker.join();
    // Lowered to Lowest, unless the process already runs lower still.
    EXPECT_TRUE(main_nice > 10 || lowered == NiceForThreadPriority(0)) << lowered;
    EXPECT_EQ(own_nice(), main_nice) << "the GUI thread keeps its own priority";
}

}  // namespace
}  // namespace kivo
