// The window under stress, with its worker running: twenty drops in a row of cartridges, text
// files and folders with the battery save checked after every close; key events posted from a
// second thread at a thousand a second. Nothing may hang, no event or battery save may be lost.
// Each test bounds its own waiting generously, and CTest bounds each test's time: these are not
// timing tests.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QInputDevice>
#include <QKeyEvent>
#include <QObject>
#include <QTest>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/window_fixture.h"

#if defined(__SANITIZE_THREAD__)
// Qt hands a posted event to the receiving thread through locks ThreadSanitizer cannot see (Qt is
// not built with it); the script says so for each event it makes, so that the window's first look
// at the event is not taken for a race.
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define KIVO_HANDED_OVER(address) __tsan_release(address)
#define KIVO_TAKEN_OVER(address) __tsan_acquire(address)
#else
#define KIVO_HANDED_OVER(address) static_cast<void>(address)
#define KIVO_TAKEN_OVER(address) static_cast<void>(address)
#endif

namespace kivo {
namespace {

namespace fs = std::filesystem;
using namespace gbasm;
using Clock = std::chrono::steady_clock;

using StressTest = MainWindowTest;

// Twenty drops in a row while the worker runs. The battery cartridge counts its starts in the
// first byte of its RAM, so each drop of it starts it once more from its saved RAM; every drop
// that replaces it (a text file, a folder, another cartridge) leaves its count in save.kivoxram.
// Only the first file of a drop of several opens.
TEST_F(StressTest, TwentyDropsInARowKeepEveryBatterySave) {
    Asm program(0x0100);
    program.ld(A, 0x0A);
    program.ld(Mem(0x0000), A);  // RAM on
    program.ld(A, Mem(0xA000));
    program.inc(A);
    program.ld(Mem(0xA000), A);
    program.label("here");
    program.jr("here");
    const std::string battery = WriteRom("save.gb", &program, {.banks = 2, .type = 0x03});
    const std::string plain = WriteRom("plain.gb");
    WriteText("notes.txt", std::string(0x200, 'x'));  // opens, but names no cartridge
    WriteText("short.txt", "not a cartridge");        // too short to open
    fs::create_directory(dir_ / "folder.gb");
    const std::vector<std::vector<std::string>> cycle = {
        {battery},        {Path("notes.txt")},
        {battery, plain}, {Path("folder.gb")},
        {battery},        {plain},
        {battery},        {Path("short.txt")},
        {battery},        {dir_.string(), battery}};
    const auto saved_count = [&] {
        const std::string saved = ReadText("save.kivoxram");
        return saved.empty() ? -1 : static_cast<u8>(saved[0]);
    };
    int starts = 0;
    std::size_t expected_errors = 0;
    for (int drop = 0; drop < 20; ++drop) {
        const std::vector<std::string>& files = cycle[drop % cycle.size()];
        const bool opens_battery = files.front() == battery;
        // Every drop but a cartridge's names a file the window must report, in one box.
        const bool reported = !opens_battery && files.front() != plain;
        const std::size_t errors_before = errors.size();
        Drop(files);
        if (opens_battery) {
            ++starts;
            ASSERT_TRUE(WaitForMachine([&] { return window->machine().memory.xram[0] == starts; }))
                << "drop " << drop;
        } else {
            if (reported) ++expected_errors;
            EXPECT_EQ(saved_count(), starts) << "drop " << drop;
        }
        EXPECT_EQ(errors.size() - errors_before, reported ? 1u : 0u) << "drop " << drop;
        // The worker runs whatever is open for a moment before the next drop.
        QTest::qWait(1);
    }
    window->CloseROM1Click();
    EXPECT_EQ(saved_count(), starts);
    EXPECT_EQ(errors.size(), expected_errors);
}

// A script on a second thread posts key presses and releases to the window, one every
// millisecond, while the game runs. Every event reaches the window, the last release lets every
// button go, and the game is still running.
TEST_F(StressTest, KeysPostedFromAScriptAtAThousandASecond) {
    window->OpenRomPath(KIVO_DEMO_ROM);
    ASSERT_TRUE(WaitForRunning(true));

    struct Counter : QObject {
        bool eventFilter(QObject*, QEvent* event) override {
            KIVO_TAKEN_OVER(event);
            keys += event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease;
            return false;
        }
        int keys = 0;
    } counter;
    window->installEventFilter(&counter);
    constexpr int kEvents = 400;
    // Button A, B, Start and Left by default, and a key bound to nothing.
    const Qt::Key keys[] = {Qt::Key_W, Qt::Key_X, Qt::Key_Return, Qt::Key_Left, Qt::Key_Q};
    // A key event names its keyboard; made here, on the GUI thread, so that the script's events
    // find it rather than creating it on their own thread.
    ASSERT_NE(QInputDevice::primaryKeyboard(), nullptr);
    std::atomic<bool> done{false};
    const auto start = Clock::now();
    std::thread script([&] {
        for (int i = 0; i < kEvents; ++i) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
            const Qt::Key key = keys[i / 2 % std::size(keys)];
            const QEvent::Type type = i % 2 == 0 ? QEvent::KeyPress : QEvent::KeyRelease;
            auto* event = new QKeyEvent(type, key, Qt::NoModifier);
            KIVO_HANDED_OVER(event);
            QCoreApplication::postEvent(window.get(), event);
        }
        done.store(true);
    });
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, 60000);
    script.join();
    ASSERT_TRUE(finished) << "the script did not finish";
    QCoreApplication::sendPostedEvents(window.get());
    window->removeEventFilter(&counter);
    EXPECT_EQ(counter.keys, kEvents);
    const auto [dir, btn] = Held([&] {
        const GbState& s = window->machine().state;
        return std::pair<int, int>(s.joy_dir & 0x0F, s.joy_btn & 0x0F);
    });
    EXPECT_EQ(dir, 0x0F);
    EXPECT_EQ(btn, 0x0F);
    EXPECT_TRUE(WaitForFrames(2));
    EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace kivo
