#pragma once

#include "MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// The main queue of tests: the thread that constructs it is the main thread, and tasks run only
// when that thread drains the queue. Delayed tasks wait on a clock the test moves by hand, so
// nothing depends on how fast the machine is.
class TestMainQueue : public MainQueue {
public:
    TestMainQueue();
    ~TestMainQueue() override;

    bool isMainThread() const override;

    // Main thread. Runs the queued tasks, and those they queue, until none is left; returns how
    // many ran.
    std::size_t drain();
    // Main thread. Runs the tasks queued at the moment of the call, in order, and none that are
    // queued while they run (by them or by background threads); returns how many ran. For tests
    // that take the events of a link one at a time.
    std::size_t runPending();
    // Main thread. Runs tasks as background threads queue them until condition holds, checking
    // it before each wait. False if limit passes first: only a hang gets there.
    bool runUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds limit = std::chrono::seconds(20));

    // Main thread. Waits, without running anything, until at least count tasks are queued.
    bool waitForQueued(std::size_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(20));

    // Main thread. Moves the test clock on and queues the delayed tasks that have come due.
    void advanceClock(std::chrono::milliseconds by);
    std::size_t delayedCount() const;

protected:
    void post(Task task) override;
    Task postAfter(std::chrono::milliseconds delay, Task task) override;

private:
    bool runOne();

    const std::thread::id mainThread_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Task> tasks_;
    std::chrono::milliseconds now_{0};
    std::multimap<std::chrono::milliseconds, Task> delayed_;
};
