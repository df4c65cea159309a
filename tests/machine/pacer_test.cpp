// Pacing against a display's retrace and the speed restriction, with an injected clock: the
// worker's real loop and real slices run, and the status bar's speed figure comes out as a user
// would read it.
#include "machine/pacer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "machine/thread.h"
#include "support/fake_clock.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

using test::FakeClock;

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

struct PacingCase {
    double display_hz;
    u32 speed_restriction;
    u32 refresh_ratio_index;
    u32 speed;  // what the status bar shows, about
};

TEST(PacingTest, StatusBarSpeedFollowsDisplayRestrictionAndFrameSkip) {
    const PacingCase cases[] = {
        {60, 1, 1, 100},   // Normal: console time
        {144, 1, 1, 100},  // Normal on a fast display: still console time
        {144, 0, 1, 241},  // None: one console frame per refresh, 144 / 59.73
        {60, 0, 2, 200},   // None with two frames per present
        {60, 2, 1, 100},   // Double Speed, but the retrace allows no more than one per refresh
        {144, 2, 1, 200},  // Double Speed where the display allows it
    };
    for (const PacingCase& c : cases) {
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

TEST(PacingTest, ALongHoldIsNotMadeUpByRunningFast) {
    FakeClock clock;
    Pacer pacer(clock, 60);
    for (int i = 0; i < 10; ++i) pacer.WaitForFrame(1, 1);
    clock.Advance(clock.Frequency() * 5);  // the machine was held for five seconds
    const std::uint64_t resumed = clock.Now();
    for (int i = 0; i < 60; ++i) pacer.WaitForFrame(1, 1);
    const double seconds = static_cast<double>(clock.Now() - resumed) / clock.Frequency();
    EXPECT_NEAR(seconds, 60 / 59.73, 2.0 / 60) << "60 frames take a second again, no burst";
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

}  // namespace
}  // namespace kivo
