// Game controllers in the window: a controller plugged in while the window runs plays at once,
// shares its buttons with the keyboard's key events, and lets go of them when unplugged, with the
// status bar untouched. The controller is SDL's virtual joystick; the window polls it on its own
// timer, so each step waits for the machine's joypad bits to change.
#include <gtest/gtest.h>

#include <QTest>
#include <memory>

#include "app/main_window.h"
#include "support/joypad.h"
#include "support/temp_dir.h"
#include "support/virtual_pad.h"

namespace kivo {
namespace {

class WindowControllerTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        window = std::make_unique<TMainWnd>(TMainWnd::Setup{Path("kivo.INI"), /*sound=*/false});
        window->error_box = [](const QString&) {};
        // The virtual joystick lives in SDL's joystick subsystem; the window holds it too.
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_JOYSTICK), 0) << SDL_GetError();
    }
    void TearDown() override {
        window.reset();
        SDL_QuitSubSystem(SDL_INIT_JOYSTICK);
        TempDirTest::TearDown();
    }
    bool Down(int key) const { return test::ButtonDown(window->machine(), key); }
    // Waits until the window's next polls have put the button in the state wanted.
    bool WaitFor(int key, bool down) {
        return QTest::qWaitFor([&] { return Down(key) == down; }, 1000);
    }

    std::unique_ptr<TMainWnd> window;
};

TEST_F(WindowControllerTest, ControllerAndKeyboardShareTheButtonsAndUnpluggingLetsGo) {
    const QString status = window->status_text();
    test::VirtualPad pad;
    ASSERT_TRUE(pad.attached()) << SDL_GetError();

    // Plugged in while running: its east face button is A.
    window->machine().state.IF = 0;
    pad.Button(SDL_CONTROLLER_BUTTON_B, true);
    ASSERT_TRUE(WaitFor(KEY_A, true));
    EXPECT_NE(window->machine().state.IF & irq::JOYPAD, 0);

    // Held on the keyboard too (W), let go on the controller: still down until W goes up.
    QTest::keyPress(window.get(), Qt::Key_W);
    pad.Button(SDL_CONTROLLER_BUTTON_B, false);
    QTest::qWait(60);
    EXPECT_TRUE(Down(KEY_A));
    QTest::keyRelease(window.get(), Qt::Key_W);
    EXPECT_FALSE(Down(KEY_A));

    // Pressed on the keyboard, then on the D-pad, released on the keyboard: still down.
    QTest::keyPress(window.get(), Qt::Key_Left);
    pad.Button(SDL_CONTROLLER_BUTTON_DPAD_LEFT, true);
    pad.Button(SDL_CONTROLLER_BUTTON_START, true);
    ASSERT_TRUE(WaitFor(KEY_START, true));
    QTest::keyRelease(window.get(), Qt::Key_Left);
    EXPECT_TRUE(Down(KEY_LEFT));

    // Unplugged mid-game: everything it held lets go.
    pad.Unplug();
    EXPECT_TRUE(WaitFor(KEY_LEFT, false));
    EXPECT_TRUE(WaitFor(KEY_START, false));
    EXPECT_EQ(window->status_text(), status);
}

}  // namespace
}  // namespace kivo
