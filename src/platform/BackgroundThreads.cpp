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
    const std::uint64_t id = nextId_++;
    Thread& entry = threads_[id];
    entry.keepAlive = std::move(keepAlive);
    entry.thread = std::jthread([this, id, body = std::move(body)](std::stop_token stop) {
        body(stop);
        MainQueue::shared().async([this, id] { reap(id); });
    });
}

void BackgroundThreads::reap(std::uint64_t id) {
    auto found = threads_.find(id);
    if (found == threads_.end()) {
        return; // joinAll got there first
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
