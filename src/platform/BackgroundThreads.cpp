#include "BackgroundThreads.h"

#include "MainQueue.h"

#include <utility>
#include <vector>

BackgroundThreads& BackgroundThreads::shared() {
    static BackgroundThreads threads;
    return threads;
}

void BackgroundThreads::start(Body body, std::shared_ptr<void> keepAlive) {
    DCCCAB_ASSERT_MAIN_THREAD();
    reapFinished();
    const std::uint64_t id = nextId_++;
    Thread entry;
    entry.keepAlive = std::move(keepAlive);
    entry.finished = std::make_shared<std::atomic<bool>>(false);
    // Taken here, on the main thread: a thread that ends after the queue has shut down (or gone)
    // must not reach for the shared one.
    entry.thread = std::jthread([this, id, finished = entry.finished, body = std::move(body),
                                 queue = MainQueue::sharedHandle()](std::stop_token stop) {
        body(stop);
        finished->store(true);
        queue.async([this, id] { reap(id); });
    });
    // Listed only once the thread exists: when it cannot be started (std::system_error), nothing
    // is left behind that would never finish. Its reap cannot run before this, on the main thread.
    threads_.emplace(id, std::move(entry));
}

void BackgroundThreads::reapFinished() {
    DCCCAB_ASSERT_MAIN_THREAD();
    std::vector<Thread> ended;
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->second.finished->load()) {
            ended.push_back(std::move(it->second));
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
    for (Thread& entry : ended) {
        entry.thread.join();
    }
    // ended goes out of scope here: what the threads kept alive is released on the main thread,
    // after the list is consistent again (a release may start or reap threads itself).
}

void BackgroundThreads::reap(std::uint64_t id) {
    auto found = threads_.find(id);
    if (found == threads_.end()) {
        return; // joinAll or reapFinished got there first
    }
    Thread entry = std::move(found->second);
    threads_.erase(found);
    entry.thread.join();
    // entry.keepAlive is released here, on the main thread.
}

void BackgroundThreads::joinAll() {
    DCCCAB_ASSERT_MAIN_THREAD();
    std::map<std::uint64_t, Thread> threads = std::move(threads_);
    threads_.clear();
    for (auto& [id, entry] : threads) {
        entry.thread.request_stop();
    }
    for (auto& [id, entry] : threads) {
        entry.thread.join();
    }
}
