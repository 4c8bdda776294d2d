#include "MainQueue.h"

#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <utility>

// What a queue shares with its handles and its tasks in flight. The mutex also keeps the queue
// from being shut down while a post into it is under way.
struct MainQueue::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool shutDown = false;
    MainQueue* queue = nullptr;

    // Wraps task so that it does nothing once the queue is shut down.
    static Task guarded(std::shared_ptr<State> state, Task task) {
        return [state = std::move(state), task = std::move(task)] {
            {
                std::lock_guard lock(state->mutex);
                if (state->shutDown) {
                    return;
                }
            }
            task();
        };
    }

    // Hands task to the queue unless it is shut down; false when dropped. A delayed task's
    // canceller, if the queue gives one, goes to cancel.
    static bool post(const std::shared_ptr<State>& state, Task task,
                     std::optional<std::chrono::milliseconds> delay = std::nullopt,
                     Task* cancel = nullptr) {
        std::lock_guard lock(state->mutex);
        if (state->shutDown || state->queue == nullptr) {
            return false;
        }
        Task wrapped = guarded(state, std::move(task));
        if (delay) {
            Task canceller = state->queue->postAfter(*delay, std::move(wrapped));
            if (cancel != nullptr) {
                *cancel = std::move(canceller);
            }
        } else {
            state->queue->post(std::move(wrapped));
        }
        return true;
    }
};

namespace {
std::atomic<MainQueue*> sharedQueue{nullptr};

// A delayed task while it waits. The queue holds it until the task runs or is dropped; its
// handle holds it weakly, and ending the handle takes the task out, and its timer with it where
// the queue can cancel one (a cab restarts its reply timer for every frame: thousands a second
// must not pile up). The lock is for a handle ended on another thread than the main one.
class DelayedTask final : public Subscription::Source {
public:
    explicit DelayedTask(MainQueue::Task task) : task_(std::move(task)) {}

    void run() {
        MainQueue::Task task = take(); // taken out first: the task may end its own handle
        if (task) {
            task();
        }
    }

    void endSubscription(Subscription::Token) override {
        MainQueue::Task ended = take(); // released unlocked: its captures may reach for us
        MainQueue::Task cancel;
        {
            std::lock_guard lock(mutex_);
            cancel = std::exchange(cancel_, nullptr);
        }
        if (ended && cancel) {
            cancel(); // the queue's own, which does nothing off the main thread
        }
    }

    void setCanceller(MainQueue::Task cancel) {
        std::lock_guard lock(mutex_);
        if (task_) {
            cancel_ = std::move(cancel);
        }
    }

private:
    MainQueue::Task take() {
        std::lock_guard lock(mutex_);
        return std::exchange(task_, nullptr);
    }

    std::mutex mutex_;
    MainQueue::Task task_;
    MainQueue::Task cancel_;
};
} // namespace

MainQueue::MainQueue() : state_(std::make_shared<State>()) {
    state_->queue = this;
}

MainQueue::~MainQueue() {
    shutDown();
    {
        std::lock_guard lock(state_->mutex);
        state_->queue = nullptr;
    }
    MainQueue* self = this;
    sharedQueue.compare_exchange_strong(self, nullptr);
}

bool MainQueue::Handle::async(Task task) const {
    return state_ != nullptr && State::post(state_, std::move(task));
}

bool MainQueue::Handle::syncFromBackground(Task task) const {
    // Everything below goes through the local copy: the queue, and the handle's owner, may be
    // destroyed while this thread waits.
    const std::shared_ptr<State> state = state_;
    if (state == nullptr) {
        return false;
    }
    auto done = std::make_shared<bool>(false);
    const bool posted = State::post(state, [state, done, task = std::move(task)] {
        task();
        {
            std::lock_guard lock(state->mutex);
            *done = true;
        }
        state->changed.notify_all();
    });
    if (!posted) {
        return false;
    }
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] { return *done || state->shutDown; });
    return *done;
}

bool MainQueue::Handle::isLive() const {
    if (state_ == nullptr) {
        return false;
    }
    std::lock_guard lock(state_->mutex);
    return !state_->shutDown && state_->queue != nullptr;
}

void MainQueue::async(Task task) {
    State::post(state_, std::move(task));
}

bool MainQueue::syncFromBackground(Task task) {
    assert(!isMainThread() && "syncFromBackground from the main thread would wait for itself");
    return handle().syncFromBackground(std::move(task));
}

Subscription MainQueue::after(std::chrono::milliseconds delay, Task task) {
    auto delayed = std::make_shared<DelayedTask>(std::move(task));
    std::weak_ptr<DelayedTask> waiting = delayed;
    // When the queue drops the task (shut down), the handle finds nothing left to end.
    Task cancel;
    State::post(
        state_, [delayed] { delayed->run(); }, delay, &cancel);
    if (cancel) {
        delayed->setCanceller(std::move(cancel));
    }
    return Subscription(std::move(waiting), Subscription::nextToken());
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

MainQueue::Handle MainQueue::sharedHandle() {
    MainQueue* queue = sharedQueue.load();
    return queue != nullptr ? queue->handle() : Handle();
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
