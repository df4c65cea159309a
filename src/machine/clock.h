// The worker's sense of real time: a counter with a known frequency and a wait until a counter
// value. The thread loop takes its speed and frame-rate measurements from it and the pacer waits
// on it; tests put a clock of their own in its place so that nothing waits in real time.
#pragma once

#include <cstdint>

namespace kivo {

class Clock {
  public:
    virtual ~Clock() = default;

    // Ticks per second; constant for the clock's life and never 0.
    virtual std::uint64_t Frequency() const = 0;
    // The counter now; never goes backwards.
    virtual std::uint64_t Now() = 0;
    // Returns once Now() has reached tick (at once when it already has).
    virtual void WaitUntil(std::uint64_t tick) = 0;
};

// The host's monotonic clock in nanoseconds.
class SteadyClock : public Clock {
  public:
    std::uint64_t Frequency() const override { return 1'000'000'000; }
    std::uint64_t Now() override;
    void WaitUntil(std::uint64_t tick) override;
};

}  // namespace kivo
