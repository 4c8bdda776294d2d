#include "BackgroundThreads.h"
#include "TestMainQueue.h"

#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using testing::ElementsAre;

namespace {

class MainQueueTest : public testing::Test {
protected:
    void SetUp() override { MainQueue::setShared(&queue); }
    void TearDown() override {
        queue.runUntil([] { return BackgroundThreads::shared().running() == 0; });
        MainQueue::setShared(nullptr);
    }
    TestMainQueue queue;
};

TEST_F(MainQueueTest, AsyncRunsLaterInOrderAndDelayedTasksWaitForTheClock) {
    std::vector<int> ran;
    queue.async([&] {
        ran.push_back(1);
        queue.async([&] { ran.push_back(3); }); // queued from a task: after the others
    });
    const Subscription later =
        queue.after(std::chrono::milliseconds(50), [&] { ran.push_back(4); });
    queue.async([&] { ran.push_back(2); });
    EXPECT_TRUE(ran.empty()) << "nothing runs before it is drained";
    queue.drain();
    EXPECT_THAT(ran, ElementsAre(1, 2, 3));
    queue.advanceClock(std::chrono::milliseconds(49));
    queue.drain();
    EXPECT_EQ(ran.size(), 3u);
    queue.advanceClock(std::chrono::milliseconds(1));
    queue.drain();
    EXPECT_THAT(ran, ElementsAre(1, 2, 3, 4));
}

// A delayed task whose handle was let go never runs, and what it captured is released at once,
// on the main thread; a task may end its own handle; ending after the run does nothing.
TEST_F(MainQueueTest, ADelayedTaskRunsOnlyWhileItsHandleIsHeld) {
    const auto ms = [](int n) { return std::chrono::milliseconds(n); };
    std::vector<std::string> ran;
    auto captured = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = captured;
    Subscription destroyed = queue.after(ms(10), [&ran, captured] { ran.push_back("destroyed"); });
    Subscription cancelled = queue.after(ms(10), [&] { ran.push_back("cancelled"); });
    Subscription replaced = queue.after(ms(10), [&] { ran.push_back("replaced"); });
    Subscription itself;
    itself = queue.after(ms(10), [&] {
        itself.cancel();
        ran.push_back("itself");
    });
    Subscription kept = queue.after(ms(20), [&] { ran.push_back("kept"); });
    captured.reset();
    { Subscription gone = std::move(destroyed); }
    EXPECT_TRUE(watch.expired()) << "the cancelled task's captures are released at the ending";
    cancelled.cancel();
    replaced = queue.after(ms(30), [&] { ran.push_back("replacement"); });
    queue.advanceClock(ms(30));
    queue.drain();
    EXPECT_THAT(ran, ElementsAre("itself", "kept", "replacement"));
    kept.cancel(); // after its run: nothing to end
    EXPECT_FALSE(kept.holdsSubscription());
}

// A delayed task handed to the queue from a background thread, its handle handed back to the
// main thread, stays cancellable; a handle that outlives its queue does nothing.
TEST(MainQueueLifetime, DelayedTaskHandlesOutliveTheQueue) {
    auto queue = std::make_unique<TestMainQueue>();
    bool ran = false;
    Subscription handle;
    std::thread([&] {
        handle = queue->after(std::chrono::milliseconds(1), [&] { ran = true; });
    }).join();
    Subscription outliving = queue->after(std::chrono::hours(1), [] {}); // still waiting
    handle.cancel();
    queue->advanceClock(std::chrono::milliseconds(1));
    queue->drain();
    EXPECT_FALSE(ran);
    queue.reset();
    outliving.cancel();
}

TEST_F(MainQueueTest, SyncFromBackgroundWaitsUntilTheMainThreadHasRunTheTask) {
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    bool result = false;
    std::thread background([&] {
        result = queue.syncFromBackground([&] { ranOn = std::this_thread::get_id(); });
        returned = true;
    });
    ASSERT_TRUE(queue.runUntil([&] { return ranOn != std::thread::id(); }));
    background.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(result);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(MainQueueTest, ShutDownLetsAWaitingThreadGoAndDropsWhatIsQueued) {
    bool ran = false;
    bool result = true;
    std::thread background([&] { result = queue.syncFromBackground([&] { ran = true; }); });
    ASSERT_TRUE(queue.waitForQueued(1)); // the background thread is waiting for it
    queue.shutDown();
    background.join();
    EXPECT_FALSE(result);
    queue.drain();
    EXPECT_FALSE(ran);
    queue.async([&] { ran = true; });
    queue.drain();
    EXPECT_FALSE(ran);
}

// Quitting while a background thread waits on the main thread: the queue goes away under the
// waiter, and a thread that ends after that must not reach for a queue at all.
TEST(MainQueueLifetime, WaitersAndLateThreadsOutliveTheQueueSafely) {
    auto queue = std::make_unique<TestMainQueue>();
    MainQueue::setShared(queue.get());
    std::atomic<bool> release{false};
    std::atomic<int> waitResult{-1};
    const MainQueue::Handle handle = queue->handle();
    std::thread waiter([&] { waitResult = handle.syncFromBackground([] {}) ? 1 : 0; });
    BackgroundThreads::shared().start([&](std::stop_token) {
        while (!release) {
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(queue->waitForQueued(1));
    queue.reset(); // shuts down and uninstalls, with both threads still running
    waiter.join();
    EXPECT_EQ(waitResult, 0);
    EXPECT_EQ(MainQueue::installed(), nullptr);
    EXPECT_FALSE(handle.isLive());
    EXPECT_FALSE(handle.async([] {}));
    release = true;
    BackgroundThreads::shared().joinAll(); // the ending thread posts to no queue, and no abort
    EXPECT_EQ(BackgroundThreads::shared().running(), 0u);
}

TEST_F(MainQueueTest, EndedThreadsAreReapedWithoutTheMainLoop) {
    for (int i = 0; i < 50; ++i) {
        BackgroundThreads::shared().start([](std::stop_token) {});
        // Nothing is drained: reaping alone joins the thread once its body has returned.
        while (BackgroundThreads::shared().running() != 0) {
            BackgroundThreads::shared().reapFinished();
            std::this_thread::yield();
        }
    }
    EXPECT_EQ(queue.drain(), 50u) << "the queued reaps find nothing left to do";
}

TEST_F(MainQueueTest, BackgroundThreadsAreJoinedAndReleaseWhatTheyHoldOnTheMainThread) {
    struct Witness {
        std::thread::id* releasedOn;
        ~Witness() { *releasedOn = std::this_thread::get_id(); }
    };
    std::thread::id releasedOn;
    std::atomic<bool> bodyRan{false};
    BackgroundThreads::shared().start([&](std::stop_token) { bodyRan = true; },
                                      std::make_shared<Witness>(Witness{&releasedOn}));
    ASSERT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
    EXPECT_TRUE(bodyRan);
    EXPECT_EQ(releasedOn, std::this_thread::get_id());
}

TEST_F(MainQueueTest, JoinAllStopsThreadsThatWouldRunForEver) {
    std::atomic<int> stopped{0};
    for (int i = 0; i < 3; ++i) {
        BackgroundThreads::shared().start([&](std::stop_token token) {
            std::mutex mutex;
            std::condition_variable_any never;
            std::unique_lock lock(mutex);
            never.wait(lock, token, [] { return false; });
            ++stopped;
        });
    }
    queue.shutDown();
    BackgroundThreads::shared().joinAll();
    EXPECT_EQ(stopped, 3);
    EXPECT_EQ(BackgroundThreads::shared().running(), 0u);
}

} // namespace
