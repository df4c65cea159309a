// The worker's priority levels (system_thread_priority 0 "Lowest" .. 4 "Highest") on the host's
// scheduler: nice values around the process's own, per thread.
#pragma once

#include <cstdint>

namespace kivo {

// The nice value for a level; levels past 4 count as 4.
int NiceForThreadPriority(std::uint32_t level);
// Gives the calling thread the level's nice value. Raising a thread above normal needs a
// privilege most users lack; a refused change leaves the thread as it was, silently.
void ApplyThreadPriority(std::uint32_t level);

}  // namespace kivo
