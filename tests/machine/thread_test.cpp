// The worker: its holds, its measurements, the handshake with
// the GUI thread (run under ThreadSanitizer by the tsan preset), and its pacing against a
// display's retrace and the speed restriction with an injected clock, where the status bar's
// speed figure comes out as a user would read it.
#include "machine/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "machine/pacer.h"
#include "support/fake_clock.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

using Pass = TSystemThread::Pass;
using test::FakeClock;

// A cartridge whose program disables interrupts and spins: the LCD runs and frames are handed
// over, IF collects requests and nothing else touches it.
std::vector<u8> SpinningRom() {
    std::vector<u8> rom = test::MakeRom();
    rom[0x100] = 0xF3;  // DI
    rom[0x101] = 0x18;  // JR -2
    rom[0x102] = 0xFE;
    return rom;
}

// Counts the worker's calls on the host outputs; a slice can be given a length of fake time
// (PlaySound runs once before every slice).
class CountingOutputs : public VideoPresenter, public SoundOutput {
  public:
    void CopyFrameToSurface(const u8*) override {}
    void PresentFrame() override { presents.fetch_add(1); }
    void StreamSoundBlock(const u8*) override {}
    void PlaySound() override {
        plays.fetch_add(1);
        playing = true;
        if (clock) clock->Advance(ticks_per_slice);
    }
    void StopSound() override { playing = false; }

    std::atomic<int> presents{0}, plays{0};
    std::atomic<bool> playing{false};
    FakeClock* clock = nullptr;
    std::uint64_t ticks_per_slice = 0;
};

class ThreadTest : public ::testing::Test {
  protected:
    ThreadTest() {
        gb.presenter = &outputs;
        gb.sound_output = &outputs;
    }
    void OpenRom() { test::OpenImage(gb, SpinningRom()); }

    std::unique_ptr<TGBSYSF> owner = std::make_unique<TGBSYSF>();
    TGBSYSF& gb = *owner;
    CountingOutputs outputs;
    FakeClock clock;
};

// ---- the holds, one pass at a time on the test's own thread ----

TEST_F(ThreadTest, EachHoldConditionStopsSoundAndOnlyTheHeldStatesRepaint) {
    const struct {
        const char* name;
        bool rom_open, continued, user_pause, pause_when_inactive, app_active;
        Pass expected;
    } cases[] = {
        // The worker starts paused: `continued` is ThreadContinue1 after its creation.
        {"no ROM open", false, true, false, true, true, Pass::kIdle},
        {"no ROM, paused", false, false, false, true, true, Pass::kIdle},
        {"paused until the first continue", true, false, false, true, true, Pass::kHeld},
        {"user pause", true, true, true, true, true, Pass::kHeld},
        {"inactive with the option", true, true, false, true, false, Pass::kHeld},
        {"inactive without the option", true, true, false, false, false, Pass::kRan},
        {"nothing holds it", true, true, false, true, true, Pass::kRan},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto machine = std::make_unique<TGBSYSF>();
        CountingOutputs out;
        machine->presenter = &out;
        machine->sound_output = &out;
        if (c.rom_open) test::OpenImage(*machine, SpinningRom());
        machine->system_pause_when_inactive_app = c.pause_when_inactive;
        TSystemThread worker(*machine, clock);
        if (c.continued) worker.ThreadContinue1();
        worker.SetUserPause(c.user_pause);
        worker.SetAppActive(c.app_active);
        out.playing = true;  // as after an earlier slice
        const u32 frames = machine->frame_count;

        EXPECT_EQ(worker.LoopIteration(), c.expected);

        const bool ran = c.expected == Pass::kRan;
        EXPECT_EQ(worker.running.load(), ran);
        EXPECT_EQ(out.playing.load(), ran);
        EXPECT_EQ(out.plays.load(), ran ? 1 : 0);
        EXPECT_EQ(out.presents > 0, ran || c.expected == Pass::kHeld)
            << "held repaints, idle presents nothing";
        EXPECT_EQ(machine->frame_count != frames, ran) << "a slice runs only when nothing holds";
    }
}

// ---- measurements with an injected clock ----

TEST_F(ThreadTest, SpeedIsMeasuredEvery16SlicesInWideArithmeticAndFramesEverySecond) {
    // The clock's frequency, the fake time one slice takes, the speed restriction, and the speed
    // figure after 16 slices (0: never measured).
    const struct {
        const char* name;
        std::uint64_t frequency, slice_ticks;
        bool show_performances;
        u32 restriction, speed;
    } cases[] = {
        {"real time", 1'000'000'000, 1'000'000'000 / 16, true, 0, 100},
        {"twice real time", 1'000'000'000, 1'000'000'000 / 32, true, 0, 200},
        // f x 100 leaves 32 bits: a 32-bit product would read nonsense.
        {"fast counter", 3'000'000'000, 3'000'000'000 / 16, true, 0, 100},
        {"performances hidden", 1'000'000'000, 1'000'000'000 / 16, false, 0, 0},
        // No time passes at all: the difference counts as 1 tick and the figure saturates.
        {"no time passes", 1'000'000'000, 0, true, 0, 0xFFFFFFFF},
        // With no frame presented the speed restriction alone holds the slices to console time
        // (Normal), or twice it (Double Speed, also for a level out of range).
        {"restricted", 1'000'000'000, 0, true, 1, 100},
        {"restricted to double", 1'000'000'000, 0, true, 2, 200},
        {"restricted out of range", 1'000'000'000, 0, true, 7, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock fake(c.frequency);
        OpenRom();
        gb.system_show_performances = c.show_performances;
        gb.system_speed_restriction = c.restriction;
        outputs.clock = &fake;
        outputs.ticks_per_slice = c.slice_ticks;
        if (c.restriction) gb.presenter = nullptr;
        TSystemThread worker(gb, fake);
        worker.ThreadContinue1();
        for (int i = 0; i < 15; ++i) worker.LoopIteration();
        EXPECT_EQ(worker.perf_speed.load(), 0u) << "no figure before the 16th slice";
        // The frame rate, measured whether shown or not: 16 slices of real time are 4194304
        // cycles, 59.73 frames of 70224 cycles, in each second.
        const bool real_time = c.slice_ticks * 16 == c.frequency;
        if (real_time) {
            EXPECT_EQ(worker.perf_fps.load(), 0u) << "less than a second has passed";
        }
        worker.LoopIteration();
        // Restricted, the worker may run one slice ahead of console time, and the first slice
        // starts the clock: 16 slices take the time of 14 at the least.
        EXPECT_NEAR(worker.perf_speed.load(), c.speed, c.restriction ? c.speed / 7 : 0);
        gb.presenter = &outputs;
        if (!real_time) continue;
        EXPECT_NEAR(worker.perf_fps.load(), 60, 1);
        for (int i = 0; i < 16; ++i) worker.LoopIteration();
        EXPECT_NEAR(worker.perf_fps.load(), 60, 1);
    }
}

// ---- pacing ----

// A presenter paced as a window's is: a new frame waits for the speed restriction and the
// retrace, a repaint for the retrace alone.
class PacedPresenter : public VideoPresenter {
  public:
    PacedPresenter(Pacer& pacer, const TGBSYSF& gb) : pacer_(pacer), gb_(gb) {}
    void CopyFrameToSurface(const u8*) override { pacer_.NoteNewFrame(); }
    void PresentFrame() override { pacer_.WaitToPresent(gb_); }

  private:
    Pacer& pacer_;
    const TGBSYSF& gb_;
};

TEST(PacingTest, StatusBarSpeedFollowsDisplayRestrictionAndFrameSkip) {
    const struct {
        double display_hz;
        u32 speed_restriction, refresh_ratio_index;
        u32 speed;  // what the status bar shows, about
    } cases[] = {
        {60, 1, 1, 100},   // Normal: console time
        {144, 1, 1, 100},  // Normal on a fast display: still console time
        {144, 0, 1, 241},  // None: one console frame per refresh, 144 / 59.73
        {60, 0, 2, 200},   // None with two frames per present
        {60, 2, 1, 100},   // Double Speed, but the retrace allows no more than one per refresh
        {144, 2, 1, 200},  // Double Speed where the display allows it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.display_hz << " Hz, restriction " << c.speed_restriction << ", ratio "
                     << c.refresh_ratio_index);
        auto gb = std::make_unique<TGBSYSF>();
        test::OpenImage(*gb, test::MakeRom());
        gb->system_speed_restriction = c.speed_restriction;
        gb->Screen_refresh_ratio_index = c.refresh_ratio_index;
        gb->UpdateFrameRatio();
        FakeClock clock;
        Pacer pacer(clock, c.display_hz);
        PacedPresenter presenter(pacer, *gb);
        gb->presenter = &presenter;
        TSystemThread worker(*gb, clock);
        worker.ThreadContinue1();

        // Three measured seconds of console time; each figure covers the 16 slices before it,
        // which hold 59.73 frames: one present more or less in a window moves it by up to 4%
        // with two frames per present.
        for (int second = 0; second < 3; ++second) {
            for (int i = 0; i < 16; ++i) worker.LoopIteration();
            EXPECT_NEAR(worker.perf_speed.load(), c.speed, c.speed * 0.04) << "second " << second;
        }
        // Never ahead of console time (or twice it) by more than a frame.
        const u32 factor = SpeedFactor(c.speed_restriction);
        if (factor != 0) {
            const double console_seconds = 3.0 / factor;
            const double real_seconds = static_cast<double>(clock.Now()) / clock.Frequency();
            EXPECT_GE(real_seconds, console_seconds - 1.0 / 59.73);
        }
    }
}

TEST(PacingTest, RetraceWaitNeverExceedsOneRefreshPeriod) {
    FakeClock clock;
    Pacer pacer(clock, 144);
    const std::uint64_t period = pacer.RefreshPeriod();
    // Presents at awkward moments: just after a tick, just before one, many periods late.
    const std::uint64_t gaps[] = {1, period - 1, period, period + 1, 17 * period + 3, 0, 5};
    std::uint64_t first_tick = 0;
    for (const std::uint64_t gap : gaps) {
        clock.Advance(gap);
        const std::uint64_t before = clock.Now();
        pacer.WaitForRetrace();
        const std::uint64_t waited = clock.Now() - before;
        EXPECT_GT(waited, 0u) << "a present always waits for a retrace";
        EXPECT_LE(waited, period);
        if (first_tick == 0) first_tick = clock.Now();
        EXPECT_EQ((clock.Now() - first_tick) % period, 0u) << "retraces keep their phase";
    }
}

TEST(PacingTest, UnusableRefreshRatesCountAs60Hz) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double reported, used;
    } cases[] = {{0, 60},   {-75, 60},      {nan, 60},  {inf, 60},        {5, 60},
                 {1e9, 60}, {59.94, 59.94}, {144, 144}, {23.976, 23.976}, {360, 360}};
    FakeClock clock;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reported);
        EXPECT_DOUBLE_EQ(Pacer::SaneRefreshRate(c.reported), c.used);
        Pacer pacer(clock);
        pacer.SetRefreshRate(c.reported);
        EXPECT_EQ(pacer.RefreshPeriod(), static_cast<std::uint64_t>(std::llround(1e9 / c.used)));
    }
}

// ---- the handshake, with a real worker ----

// Waits for a condition the worker brings about, giving up after a few seconds so that a broken
// handshake fails the test instead of hanging it.
template <typename Condition>
bool Eventually(Condition condition) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class HandshakeTest : public ThreadTest {
  protected:
    HandshakeTest() {
        OpenRom();
        gb.system_speed_restriction = 0;  // nothing paces: slices follow each other at once
    }
    SteadyClock steady;
};

// Each round pauses, checks that the worker is held between slices, touches the machine, and
// lets it go; while it runs, a key press comes from this thread and must not lose its interrupt
// request among the V-blank and STAT requests the worker sets in IF meanwhile.
TEST_F(HandshakeTest, PauseReturnsOnlyWhenTheWorkerIsHeldAndKeyPressesLoseNoRequest) {
    TSystemThread worker(gb, steady);
    worker.Start();
    // The worker starts held; a command (a dropped file right after start-up) pauses and
    // continues at once.
    worker.ThreadPause1();
    worker.ThreadContinue1();
    EXPECT_FALSE(worker.pause_request());
    ASSERT_TRUE(Eventually([&] { return worker.running.load(); }));
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        worker.ThreadPause1();
        EXPECT_TRUE(worker.paused());
        EXPECT_FALSE(worker.pause_request());
        EXPECT_FALSE(worker.running) << "the stopped state is published before the pause";
        EXPECT_FALSE(outputs.playing);
        // The machine is ours now: these plain accesses race with the worker (and the
        // sanitizer says so) unless the worker really is held outside a slice.
        EXPECT_LT(gb.state.slice_cycles, 64u) << "held at a slice boundary";
        if (round > 0) {
            EXPECT_TRUE(gb.IoRead(0xFF0F) & 0x10) << "the last round's key press";
            EXPECT_TRUE(gb.IoRead(0xFF0F) & 0x01) << "the worker's own requests stay too";
        }
        gb.IoWrite(0xFF0F, 0x00);  // IF clear; the program never serves a request
        // Nested brackets: only the outermost continue lets it go.
        worker.ThreadPause1();
        worker.ThreadContinue1();
        EXPECT_TRUE(worker.paused());
        worker.ThreadContinue1();
        const int plays = outputs.plays;
        ASSERT_TRUE(Eventually([&] { return outputs.plays > plays; }));
        EXPECT_FALSE(worker.pause_request());
        gb.PressButton(KEY_A);
        gb.ReleaseButton(KEY_A);
        ASSERT_TRUE(Eventually([&] { return outputs.plays > plays + 1; }));
    }
}

TEST_F(HandshakeTest, ExitEndsAHeldOrARunningLoopPromptlyAndReportsTermination) {
    for (const bool running : {false, true}) {
        SCOPED_TRACE(running ? "running" : "held");
        std::atomic<bool> terminated{false};
        TSystemThread worker(gb, steady);
        worker.on_terminate = [&] { terminated = true; };
        worker.Start();
        if (running) {
            worker.ThreadContinue1();
            ASSERT_TRUE(Eventually([&] { return worker.running.load(); }));
        }
        const auto asked = std::chrono::steady_clock::now();
        worker.ThreadExit();
        const auto took = std::chrono::steady_clock::now() - asked;
        // A resting worker looks at its requests every 10 ms and a slice here is short: the
        // loop ends well within the 100 ms a held pass lasts. The bound leaves room for a
        // sanitizer build on a busy machine.
        EXPECT_LT(took, std::chrono::milliseconds(1000));
        ASSERT_TRUE(Eventually([&] { return terminated.load(); }));
        worker.ThreadExit();  // a second exit returns at once
    }
    TSystemThread never_started(gb, steady);
    never_started.ThreadExit();  // nothing to end
    never_started.ThreadPause1();
    EXPECT_TRUE(never_started.paused());
}

}  // namespace
}  // namespace kivo
