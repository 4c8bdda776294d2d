#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <thread>

// The program's background threads (read loops, line polls).
//
// Each thread runs its body once. When the body returns, the thread asks the main queue to join
// it, and what it was given to keep alive is released there, on the main thread. Nobody waits
// for a thread to end in the middle of the program: a body may itself be waiting for the main
// thread.
//
// At process shut-down, joinAll asks every body to stop (through its stop token) and joins them
// all, so no thread outlives the process's orderly end.
//
// Main thread only, except where said.
class BackgroundThreads {
public:
    using Body = std::function<void(std::stop_token)>;

    static BackgroundThreads& shared();

    // Starts a thread running body. keepAlive is held until the thread has been joined. body
    // itself must keep nothing alive: it is destroyed on the background thread. Throws
    // std::system_error when the system refuses a thread; nothing is then listed or kept.
    void start(Body body, std::shared_ptr<void> keepAlive = {});

    // Threads started and not yet joined.
    std::size_t running() const { return threads_.size(); }

    // Joins the threads whose body has returned, without waiting for the main queue to get to
    // their reaping. start calls it; so should code that opens and closes in a loop without the
    // main loop running in between, or ended threads would pile up.
    void reapFinished();

    // Requests stop of every thread and joins them. Call it after MainQueue::shutDown, or a
    // thread waiting for the main thread would keep this waiting for ever.
    void joinAll();

private:
    struct Thread {
        std::jthread thread;
        std::shared_ptr<void> keepAlive;
        // Set by the thread once its body has returned; joining it then waits for nothing.
        std::shared_ptr<std::atomic<bool>> finished;
    };

    void reap(std::uint64_t id);

    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, Thread> threads_;
};
