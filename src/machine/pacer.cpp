#include "machine/pacer.h"

#include <cmath>

namespace kivo {

std::uint64_t ConsoleSchedule::Advance(std::uint64_t now, std::uint64_t frequency,
                                       std::uint64_t cycles, std::uint32_t speed_factor,
                                       std::uint64_t slack) {
    if (speed_factor == 0) speed_factor = 1;
    if (!valid_ || speed_factor != factor_ || now > deadline_ + slack) {
        valid_ = true;
        factor_ = speed_factor;
        deadline_ = now;
        remainder_ = 0;
    }
    // frequency x cycles stays far inside 64 bits: cycles is at most a few million and any
    // host counter runs below 10^12 Hz.
    const std::uint64_t divisor = kConsoleHz * speed_factor;
    const std::uint64_t scaled = frequency * cycles;
    deadline_ += scaled / divisor;
    remainder_ += scaled % divisor;
    if (remainder_ >= divisor) {
        remainder_ -= divisor;
        ++deadline_;
    }
    return deadline_;
}

namespace {

std::uint64_t PeriodTicks(const Clock& clock, double hz) {
    const auto ticks = static_cast<std::uint64_t>(
        std::llround(static_cast<double>(clock.Frequency()) / Pacer::SaneRefreshRate(hz)));
    return ticks == 0 ? 1 : ticks;
}

}  // namespace

Pacer::Pacer(Clock& clock, double refresh_hz)
    : clock_(clock), period_(PeriodTicks(clock, refresh_hz)) {}

double Pacer::SaneRefreshRate(double hz) {
    // Written so that NaN fails the test too.
    if (!(hz >= 10.0 && hz <= 1000.0)) return kDefaultRefreshHz;
    return hz;
}

void Pacer::SetRefreshRate(double hz) {
    period_.store(PeriodTicks(clock_, hz), std::memory_order_relaxed);
}

void Pacer::WaitForRetrace() {
    const std::uint64_t now = clock_.Now();
    const std::uint64_t period = RefreshPeriod();
    if (!has_phase_) {
        has_phase_ = true;
        phase_ = now;
    }
    // The first tick strictly after now: a present that reaches the retrace just as it happens
    // waits for the next one, as a display does.
    const std::uint64_t next = phase_ + ((now - phase_) / period + 1) * period;
    clock_.WaitUntil(next);
}

void Pacer::WaitForFrame(std::uint32_t speed_restriction, std::uint32_t frames_per_present) {
    const std::uint32_t factor = SpeedFactor(speed_restriction);
    if (factor == 0) {
        schedule_.Reset();
    } else {
        // A frame-skip period past a few hundred frames is not a pace worth keeping (and would
        // reach the 64-bit limit of the schedule's arithmetic).
        const std::uint64_t frames =
            frames_per_present == 0 ? 1 : (frames_per_present > 255 ? 255 : frames_per_present);
        const std::uint64_t f = clock_.Frequency();
        const std::uint64_t now = clock_.Now();
        const std::uint64_t due = schedule_.Advance(now, f, frames * kFrameCycles, factor, f / 8);
        if (due > now) clock_.WaitUntil(due);
    }
    WaitForRetrace();
}

void Pacer::WaitForFrame(const TGBSYSF& gb) {
    const i32 period = gb.frame_skip_period;
    WaitForFrame(gb.system_speed_restriction, period > 0 ? static_cast<std::uint32_t>(period) : 1);
}

void Pacer::WaitToPresent(const TGBSYSF& gb) {
    if (new_frame_) {
        new_frame_ = false;
        if (unpaced()) {
            // The restriction starts afresh from the release, not from before the fast-forward.
            schedule_.Reset();
            return;
        }
        WaitForFrame(gb);
    } else {
        WaitForRetrace();
    }
}

}  // namespace kivo
