#include "MainQueue.h"

#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

struct MainQueue::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool shutDown = false;
};

namespace {
std::atomic<MainQueue*> sharedQueue{nullptr};
}

MainQueue::MainQueue() : state_(std::make_shared<State>()) {}

MainQueue::~MainQueue() {
    MainQueue* self = this;
    sharedQueue.compare_exchange_strong(self, nullptr);
}

MainQueue::Task MainQueue::guarded(Task task) const {
    return [state = state_, task = std::move(task)] {
        {
            std::lock_guard lock(state->mutex);
            if (state->shutDown) {
                return;
            }
        }
        task();
    };
}

void MainQueue::async(Task task) {
    if (isShutDown()) {
        return;
    }
    post(guarded(std::move(task)));
}

bool MainQueue::syncFromBackground(Task task) {
    assert(!isMainThread() && "syncFromBackground from the main thread would wait for itself");
    auto done = std::make_shared<bool>(false);
    if (isShutDown()) {
        return false;
    }
    post(guarded([state = state_, done, task = std::move(task)] {
        task();
        {
            std::lock_guard lock(state->mutex);
            *done = true;
        }
        state->changed.notify_all();
    }));
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return *done || state_->shutDown; });
    return *done;
}

void MainQueue::after(std::chrono::milliseconds delay, Task task) {
    if (isShutDown()) {
        return;
    }
    postAfter(delay, guarded(std::move(task)));
}

void MainQueue::shutDown() {
    {
        std::lock_guard lock(state_->mutex);
        state_->shutDown = true;
    }
    state_->changed.notify_all();
}

bool MainQueue::isShutDown() const {
    std::lock_guard lock(state_->mutex);
    return state_->shutDown;
}

MainQueue& MainQueue::shared() {
    MainQueue* queue = sharedQueue.load();
    if (queue == nullptr) {
        std::fputs("MainQueue::shared() used before a main queue was installed\n", stderr);
        std::abort();
    }
    return *queue;
}

MainQueue* MainQueue::installed() {
    return sharedQueue.load();
}

void MainQueue::setShared(MainQueue* queue) {
    sharedQueue.store(queue);
}
