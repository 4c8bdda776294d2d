#include "TestMainQueue.h"

#include <utility>

TestMainQueue::TestMainQueue() : mainThread_(std::this_thread::get_id()) {}

TestMainQueue::~TestMainQueue() {
    // Tasks still queued are dropped here, on the main thread, with what they keep alive.
    shutDown();
}

bool TestMainQueue::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

void TestMainQueue::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    arrived_.notify_all();
}

MainQueue::Task TestMainQueue::postAfter(std::chrono::milliseconds delay, Task task) {
    std::lock_guard lock(mutex_);
    delayed_.emplace(now_ + delay, std::move(task));
    return {};
}

bool TestMainQueue::runOne() {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) {
            return false;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
    return true;
}

std::size_t TestMainQueue::drain() {
    std::size_t ran = 0;
    while (runOne()) {
        ++ran;
    }
    return ran;
}

std::size_t TestMainQueue::runPending() {
    std::size_t pending = 0;
    {
        std::lock_guard lock(mutex_);
        pending = tasks_.size();
    }
    // Only this thread takes tasks, so the first pending ones are those queued before the call.
    std::size_t ran = 0;
    while (ran < pending && runOne()) {
        ++ran;
    }
    return ran;
}

bool TestMainQueue::runUntil(const std::function<bool()>& condition,
                             std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        drain();
        if (condition()) {
            return true;
        }
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) {
            lock.unlock();
            drain();
            return condition();
        }
    }
}

bool TestMainQueue::waitForQueued(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return tasks_.size() >= count; });
}

void TestMainQueue::advanceClock(std::chrono::milliseconds by) {
    std::lock_guard lock(mutex_);
    now_ += by;
    while (!delayed_.empty() && delayed_.begin()->first <= now_) {
        tasks_.push_back(std::move(delayed_.begin()->second));
        delayed_.erase(delayed_.begin());
    }
}

std::size_t TestMainQueue::delayedCount() const {
    std::lock_guard lock(mutex_);
    return delayed_.size();
}
