// A clock for tests: time moves only when a test advances it or something waits on it, so the
// loop's measurements and the pacing run without waiting in real time.
#pragma once

#include <atomic>
#include <cstdint>

#include "machine/clock.h"

namespace kivo::test {

class FakeClock : public Clock {
  public:
    explicit FakeClock(std::uint64_t frequency = 1'000'000'000) : frequency_(frequency) {}

    std::uint64_t Frequency() const override { return frequency_; }
    std::uint64_t Now() override { return now_.load(std::memory_order_relaxed); }
    void WaitUntil(std::uint64_t tick) override {
        if (tick > Now()) now_.store(tick, std::memory_order_relaxed);
    }
    void Advance(std::uint64_t ticks) { now_.fetch_add(ticks, std::memory_order_relaxed); }

  private:
    std::uint64_t frequency_;
    std::atomic<std::uint64_t> now_{0};
};

}  // namespace kivo::test
