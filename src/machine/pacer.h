// Pacing against real time, for presenters and the worker.
//
// A real display paces the machine by waiting for its vertical retrace at each present. The
// pacer models that retrace as the ticks of a clock running at the display's refresh rate: a
// present waits for the next tick, never longer than one refresh period. On top of it comes the
// speed restriction: with system_speed_restriction 1 ("Normal Speed") a frame is not shown before
// the console time it ends at has passed in real time, with 2 ("Double Speed") not before half
// of it, so the status bar reads about 100% (200%) on any display. With 0 ("None") only the
// retrace paces, N console frames per refresh with a frame-skip period of N.
//
// The pacer holds no toolkit and no lock: presenters of every kind (the window's, the tests')
// share it, and its clock is injected.
#pragma once

#include <atomic>
#include <cstdint>

#include "machine/clock.h"
#include "machine/gbsys.h"

namespace kivo {

// Console clock cycles per second at normal speed; a frame is 70224 of them, a run slice 262144.
inline constexpr std::uint64_t kConsoleHz = 4194304;
inline constexpr std::uint64_t kFrameCycles = 70224;
inline constexpr std::uint64_t kSliceCycles = 262144;

// The speed factor of system_speed_restriction: 0 none, 1 console time, 2 twice that. Values
// beyond the dialog's (a hand-edited INI file) count as the nearest valid one.
inline std::uint32_t SpeedFactor(std::uint32_t system_speed_restriction) {
    return system_speed_restriction > 2 ? 2 : system_speed_restriction;
}

// Real-time deadlines for console time emulated in steps: each Advance adds the real time that
// `cycles` console cycles take at the given speed factor to the previous deadline. When the
// machine has fallen more than `slack` ticks behind (after a hold, or on a host too slow to keep
// up) the schedule starts again from now, so lost time is never made up by running fast.
class ConsoleSchedule {
  public:
    std::uint64_t Advance(std::uint64_t now, std::uint64_t frequency, std::uint64_t cycles,
                          std::uint32_t speed_factor, std::uint64_t slack);
    void Reset() { valid_ = false; }

  private:
    bool valid_ = false;
    std::uint32_t factor_ = 0;
    std::uint64_t deadline_ = 0;
    std::uint64_t remainder_ = 0;  // in 1 / (kConsoleHz * factor_) ticks
};

class Pacer {
  public:
    explicit Pacer(Clock& clock, double refresh_hz = kDefaultRefreshHz);

    static constexpr double kDefaultRefreshHz = 60.0;
    // The refresh rate used for a reported one: 0, negative, unknown (NaN) or absurd rates
    // (outside 10-1000 Hz) give 60 Hz.
    static double SaneRefreshRate(double hz);

    // May be called from any thread (the window, when it moves to another screen).
    void SetRefreshRate(double hz);
    // One refresh period in clock ticks.
    std::uint64_t RefreshPeriod() const { return period_.load(std::memory_order_relaxed); }

    // A repaint of the frame already shown: waits for the next retrace tick only.
    void WaitForRetrace();
    // A new frame, frames_per_present console frames after the previous one: waits until the
    // speed restriction allows it, then for the next retrace tick.
    void WaitForFrame(std::uint32_t speed_restriction, std::uint32_t frames_per_present);
    // The same with the machine's own options (system_speed_restriction and the frame-skip
    // period). Called on the worker only.
    void WaitForFrame(const TGBSYSF& gb);

    // A presenter's two calls, on the worker: CopyFrameToSurface notes a new frame, and
    // PresentFrame waits as that frame needs (WaitForFrame), or for the retrace alone when it
    // repaints the frame already shown (a held machine).
    void NoteNewFrame() { new_frame_ = true; }
    void WaitToPresent(const TGBSYSF& gb);

    // Fast-forward, from any thread: while set, a new frame is presented at once, with no speed
    // restriction and no retrace; a repaint of a held machine still waits for the retrace.
    void SetUnpaced(bool on) { unpaced_.store(on, std::memory_order_relaxed); }
    bool unpaced() const { return unpaced_.load(std::memory_order_relaxed); }

  private:
    Clock& clock_;
    std::atomic<std::uint64_t> period_;
    bool has_phase_ = false;
    std::uint64_t phase_ = 0;  // a retrace tick; the others follow it every period
    ConsoleSchedule schedule_;
    bool new_frame_ = false;
    std::atomic<bool> unpaced_{false};
};

}  // namespace kivo
