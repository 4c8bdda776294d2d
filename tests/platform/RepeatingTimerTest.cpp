#include "RepeatingTimer.h"

#include "BackgroundThreads.h"
#include "TestMainQueue.h"

#include <atomic>
#include <gtest/gtest.h>

namespace {

TEST(RepeatingTimer, RunsAtOnceThenRepeatsUntilItStopsItself) {
    TestMainQueue queue;
    MainQueue::setShared(&queue);
    std::atomic<int> runs{0};
    auto timer = std::make_shared<RepeatingTimer>(
        std::chrono::milliseconds(1), std::chrono::milliseconds(1), [&](RepeatingTimer& self) {
            if (++runs == 3) {
                self.stop();
            }
        });
    RepeatingTimer::start(timer);
    RepeatingTimer::start(timer); // a second start starts nothing
    EXPECT_EQ(BackgroundThreads::shared().running(), 1u);
    ASSERT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
    EXPECT_EQ(runs, 3);
    EXPECT_TRUE(timer->isStopped());
    MainQueue::setShared(nullptr);
}

TEST(RepeatingTimer, StoppingFromOutsideEndsItsThreadWithoutWaitingAPeriod) {
    TestMainQueue queue;
    MainQueue::setShared(&queue);
    std::atomic<int> runs{0};
    auto timer = std::make_shared<RepeatingTimer>(std::chrono::hours(1), std::chrono::hours(0),
                                                  [&](RepeatingTimer&) { ++runs; });
    RepeatingTimer::start(timer);
    timer->stop();
    ASSERT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
    EXPECT_LE(runs, 1);
    MainQueue::setShared(nullptr);
}

} // namespace
