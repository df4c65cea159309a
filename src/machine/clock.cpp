#include "machine/clock.h"

#include <chrono>
#include <thread>

namespace kivo {

std::uint64_t SteadyClock::Now() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

void SteadyClock::WaitUntil(std::uint64_t tick) {
    const std::chrono::steady_clock::time_point when{
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(static_cast<std::int64_t>(tick)))};
    std::this_thread::sleep_until(when);
}

}  // namespace kivo
