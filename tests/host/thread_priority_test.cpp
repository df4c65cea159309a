// The worker's priority levels on the host's scheduler.
#include "host/thread_priority.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace kivo {
namespace {

int OwnNice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

TEST(ThreadPriorityTest, LevelsMapLowestToHighestAndOnlyTheCallingThreadChanges) {
    EXPECT_EQ(NiceForThreadPriority(0), 10);
    EXPECT_EQ(NiceForThreadPriority(1), 5);
    EXPECT_EQ(NiceForThreadPriority(2), 0);
    EXPECT_EQ(NiceForThreadPriority(3), -5);
    EXPECT_EQ(NiceForThreadPriority(4), -10);
    EXPECT_EQ(NiceForThreadPriority(99), -10);

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
        EXPECT_EQ(lowered, 10);
    }
    EXPECT_TRUE(raised == -10 || raised == lowered);
    EXPECT_EQ(OwnNice(), main_nice) << "the GUI thread keeps its own priority";
}

}  // namespace
}  // namespace kivo
