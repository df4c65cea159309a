#include "host/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace kivo {

namespace {

constexpr int kNice[] = {10, 5, 0, -5, -10};

}  // namespace

int NiceForThreadPriority(std::uint32_t level) {
    return kNice[level < 5 ? level : 4];
}

void ApplyThreadPriority(std::uint32_t level) {
    // On Linux the nice value belongs to each thread, named by its own id.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), NiceForThreadPriority(level));
}

}  // namespace kivo
