// The player's hotkeys in the real window, driven with key events: quick slots, the screenshot,
// fast-forward, rewind, full screen, and a binding that takes a hotkey's key.
#include <gtest/gtest.h>

#include <QImage>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <array>
#include <filesystem>

#include "app/player_hotkeys.h"
#include "app/screen_view.h"
#include "app/window_fixture.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

class HotkeysWindowTest : public MainWindowTest {
  protected:
    // A game that counts its frames in 0xC000-0xC001.
    void OpenCounter() {
        gbasm::Asm a(0x0100);
        a.label("loop");
        a.ldh(gbasm::A, 0x44);
        a.cp(144);
        a.jr(gbasm::NZ, "loop");
        a.ld(gbasm::HL, 0xC000);
        a.inc(gbasm::Mem(gbasm::HL));
        a.jr(gbasm::NZ, "wait");
        a.inc(gbasm::HL);
        a.inc(gbasm::Mem(gbasm::HL));
        a.label("wait");
        a.ldh(gbasm::A, 0x44);
        a.cp(144);
        a.jr(gbasm::Z, "wait");
        a.jr("loop");
        window->OpenRomPath(WriteRom("game.gb", &a));
        ASSERT_TRUE(WaitForFrames(3));
    }
    int Counter() {
        return Held([&] {
            return window->machine().memory.wram[0] | window->machine().memory.wram[1] << 8;
        });
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyPress(window.get(), key, modifiers);
        QTest::keyRelease(window.get(), key, modifiers);
    }
    // Frames the game shows in `ms` of real time.
    u32 FramesIn(int ms) {
        const u32 before = Frames();
        QTest::qWait(ms);
        return Frames() - before;
    }
    PlayerHotkeys& hotkeys() { return window->hotkeys(); }
};

TEST_F(HotkeysWindowTest, QuickSlotsAndScreenshotUnlessTheKeyIsBound) {
    OpenCounter();
    Key(Qt::Key_F4);
    EXPECT_EQ(Status(), "No state in slot 4");

    window->Pause1Click();  // nothing moves while the files are compared
    Key(Qt::Key_F2, Qt::ShiftModifier);
    EXPECT_EQ(Status(), "State 2 saved");
    const std::string slot = Path("game.2.kivostate");
    ASSERT_EQ(std::filesystem::file_size(slot), kStateFileBytes);
    const std::string saved = ReadText("game.2.kivostate");

    window->Pause1Click();
    const int counter = Counter();
    ASSERT_TRUE(
        WaitForMachine([&] { return window->machine().memory.wram[0] != (counter & 0xFF); }));
    window->Pause1Click();
    Key(Qt::Key_F2);
    EXPECT_EQ(Status(), "State 2 loaded");
    const std::vector<u8> machine = Held([&] { return StateFileImage(window->machine()); });
    EXPECT_TRUE(std::string(machine.begin(), machine.end()) == saved);

    Key(Qt::Key_F12);
    const std::string shot = hotkeys().last_screenshot();
    EXPECT_EQ(std::filesystem::path(shot).parent_path(),
              std::filesystem::path(Path("")).parent_path());
    EXPECT_EQ(shot.rfind(Path("game-"), 0), 0u) << shot;
    EXPECT_EQ(Status(), "Screenshot " + std::filesystem::path(shot).filename().string());
    const QImage png(QString::fromStdString(shot));
    ASSERT_EQ(png.size(), QSize(160, 144));
    EXPECT_EQ(png.convertToFormat(QImage::Format_RGB32),
              window->screen().shown_picture().convertToFormat(QImage::Format_RGB32));

    // Bound to Button A and Start: the keys play the buttons and nothing else.
    Held([&] {
        window->machine().JoyPad_Keys[4] = 0x72;  // F3
        window->machine().JoyPad_Keys[7] = 0x09;  // Tab
        return 0;
    });
    QTest::keyPress(window.get(), Qt::Key_F3, Qt::ShiftModifier);
    QTest::keyPress(window.get(), Qt::Key_Tab);
    EXPECT_FALSE(std::filesystem::exists(Path("game.3.kivostate")));
    EXPECT_FALSE(hotkeys().fast_forward());
    EXPECT_EQ(Held([&] { return window->machine().state.joy_btn & 0x9; }), 0);

    // The ROM's folder is gone: the screenshot goes to the pictures folder, which is made; the
    // ROM's folder is not made again.
    std::filesystem::create_directories(Path("roms"));
    std::filesystem::copy_file(Path("game.gb"), Path("roms/game.gb"));
    window->OpenRomPath(Path("roms/game.gb"));
    std::filesystem::remove_all(Path("roms"));
    qputenv("XDG_PICTURES_DIR", QByteArray::fromStdString(Path("pics")));
    Key(Qt::Key_F12);
    qunsetenv("XDG_PICTURES_DIR");
    EXPECT_EQ(std::filesystem::path(hotkeys().last_screenshot()).parent_path(), Path("pics"));
    EXPECT_FALSE(std::filesystem::exists(Path("roms")));
}

TEST_F(HotkeysWindowTest, FastForwardThenRewindTwoSecondsAndResume) {
    OpenCounter();
    const u32 normal = FramesIn(500);
    EXPECT_LT(normal, 40u);
    QTest::keyPress(window.get(), Qt::Key_Tab);
    const u32 fast = FramesIn(500);
    EXPECT_GT(fast, 3 * normal);
    QTest::keyRelease(window.get(), Qt::Key_Tab);
    EXPECT_LT(FramesIn(500), 40u);
    // Snapshots of more than the two seconds to go back (on a fast host the ring is full).
    ASSERT_TRUE(WaitForMachine([&] { return hotkeys().ring().size() >= 12; }));

    const int before = Counter();
    QTest::keyPress(window.get(), Qt::Key_QuoteLeft);
    ASSERT_TRUE(QTest::qWaitFor([&] { return hotkeys().rewind_steps() >= 8; }, 3000));
    const int steps = hotkeys().rewind_steps();
    const int rewound = Counter();
    QTest::keyRelease(window.get(), Qt::Key_QuoteLeft);
    // Each step is a quarter second, 14.9 frames; the first goes back to the newest snapshot,
    // at most a quarter second old.
    const int back = (before - rewound + 0x10000) & 0xFFFF;
    EXPECT_GE(back, static_cast<int>((steps - 1) * 14.9) - 2);
    EXPECT_LE(back, static_cast<int>(steps * 14.9) + 6);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !hotkeys().rewinding(); }, 1000));
    EXPECT_TRUE(
        WaitForMachine([&] { return window->machine().memory.wram[0] != (rewound & 0xFF); }));
}

TEST_F(HotkeysWindowTest, FullScreenFillsTheScreenAndEscapeLeavesIt) {
    OpenCounter();
    Key(Qt::Key_F11);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->isFullScreen(); }, 3000));
    EXPECT_FALSE(window->menuBar()->isVisible());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->geometry() == window->QWidget::screen()->geometry(); }, 3000));
    // The picture: 10:9, as large as fits, centred.
    ASSERT_TRUE(WaitForMachine([&] { return !window->machine().dest_rect_dirty.load(); }));
    const QSize view = window->screen().size();
    const std::array<i32, 4> d = Held([&] {
        const i32* r = window->machine().dest_rect;
        return std::array<i32, 4>{r[0], r[1], r[2], r[3]};
    });
    EXPECT_TRUE(d[2] - d[0] == view.width() || d[3] - d[1] == view.height());
    EXPECT_NEAR((d[2] - d[0]) * 9, (d[3] - d[1]) * 10, 10);
    EXPECT_NEAR(d[0], view.width() - d[2], 1);
    EXPECT_NEAR(d[1], view.height() - d[3], 1);

    Key(Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isFullScreen(); }, 3000));
    EXPECT_TRUE(window->menuBar()->isVisible());

    Held([&] { return window->machine().JoyPad_Keys[6] = 0x1B; });  // Escape is Select
    Key(Qt::Key_F11);
    Key(Qt::Key_Escape);
    EXPECT_TRUE(hotkeys().full_screen());
}

}  // namespace
}  // namespace kivo
