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
    std::thread background([&] {
        queue.async([&] { ran.push_back(queue.isMainThread() ? "async on main" : "async"); });
        queue.syncFromBackground([&] { ran.push_back("sync"); });
        syncReturned = true;
        queue.after(std::chrono::milliseconds(1), [&] { ran.push_back("after"); });
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.size() == 3; }, 20000));
    background.join();
    EXPECT_TRUE(syncReturned);
    EXPECT_EQ(ran, (std::vector<std::string>{"async on main", "sync", "after"}));
    MainQueue::setShared(nullptr);
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
