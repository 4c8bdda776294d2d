#include "QtMainQueue.h"

#include "BackgroundThreads.h"

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <qtestsupport_core.h>
#include <thread>

namespace {

TEST(QtMainQueue, RunsTasksFromAnyThreadOnTheEventLoopAndWaitsForSyncCalls) {
    QtMainQueue queue(*QCoreApplication::instance());
    MainQueue::setShared(&queue);
    std::vector<std::string> ran;
    std::atomic<bool> syncReturned{false};
    Subscription delayed;
    std::thread background([&] {
        queue.async([&] { ran.push_back(queue.isMainThread() ? "async on main" : "async"); });
        queue.syncFromBackground([&] { ran.push_back("sync"); });
        syncReturned = true;
        delayed = queue.after(std::chrono::milliseconds(1), [&] { ran.push_back("after"); });
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.size() == 3; }, 20000));
    background.join();
    EXPECT_TRUE(syncReturned);
    EXPECT_EQ(ran, (std::vector<std::string>{"async on main", "sync", "after"}));
    MainQueue::setShared(nullptr);
}

// The later timer's run shows that the cancelled ones' time has come and gone. One was started
// from a background thread, with a hop to the main thread still queued when it is cancelled.
// A cancelled task takes its timer with it: a cab restarts its reply timer for every frame.
TEST(QtMainQueue, ACancelledDelayedTaskNeverRuns) {
    QtMainQueue queue(*QCoreApplication::instance());
    std::vector<std::string> ran;
    Subscription fromBackground;
    std::thread([&] {
        fromBackground =
            queue.after(std::chrono::milliseconds(1), [&] { ran.push_back("from background"); });
    }).join();
    Subscription cancelled =
        queue.after(std::chrono::milliseconds(1), [&] { ran.push_back("cancelled"); });
    Subscription itself;
    itself = queue.after(std::chrono::milliseconds(1), [&] {
        itself.cancel();
        ran.push_back("itself");
    });
    const Subscription later =
        queue.after(std::chrono::milliseconds(20), [&] { ran.push_back("later"); });
    fromBackground.cancel();
    { Subscription gone = std::move(cancelled); }
    EXPECT_TRUE(QTest::qWaitFor([&] { return !ran.empty() && ran.back() == "later"; }, 20000));
    EXPECT_EQ(ran, (std::vector<std::string>{"itself", "later"}));

    QCoreApplication& application = *QCoreApplication::instance();
    const auto timersBefore = application.findChildren<QTimer*>().size();
    for (int i = 0; i < 1000; ++i) {
        Subscription restarted = queue.after(std::chrono::hours(1), [&] { ran.push_back("no"); });
    }
    EXPECT_EQ(application.findChildren<QTimer*>().size(), timersBefore);
}

TEST(QtMainQueue, ShutDownReleasesAThreadWaitingOnAStoppedEventLoop) {
    QtMainQueue queue(*QCoreApplication::instance());
    std::atomic<bool> released{false};
    std::thread background([&] {
        queue.syncFromBackground([] {}); // the loop is not running: only shut-down ends this
        released = true;
    });
    queue.shutDown();
    background.join();
    EXPECT_TRUE(released);
}

} // namespace
