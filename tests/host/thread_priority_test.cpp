// The worker's priority levels on the host's scheduler.
#include "host/thread_priority.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

namespace kivo {
namespace {

int OwnNice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

TEST(ThreadPriorityTest, LevelsMapLowestToHighestAndOnlyTheCallingThreadChanges) {
    for (std::uint32_t level = 1; level < 5; ++level) {
        EXPECT_LT(NiceForThreadPriority(level), NiceForThreadPriority(level - 1));
    }
    EXPECT_EQ(NiceForThreadPriority(2), 0) << "Normal is the process's own";
    EXPECT_EQ(NiceForThreadPriority(99), NiceForThreadPriority(4));

    const int main_nice = OwnNice();
    int lowered = 0, raised = 0;
    std::thread worker([&] {
        ApplyThreadPriority(0);
        lowered = OwnNice();
        // Raising needs a privilege: granted (root) or refused silently, never a failure.
        ApplyThreadPriority(4);
        raised = OwnNice();
    });
    worker.join();
    if (main_nice <= 10) {
        EXPECT_EQ(lowered, NiceForThreadPriority(0));
    }
    EXPECT_TRUE(raised == NiceForThreadPriority(4) || raised == lowered);
    EXPECT_EQ(OwnNice(), main_nice) << "the GUI thread keeps its own priority";
}

}  // namespace
}  // namespace kivo
