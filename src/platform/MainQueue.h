#pragma once

#include "Subscription.h"

#include <cassert>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>

// The main thread's work queue: every piece of program logic runs there, one task at a time, in
// the order queued. Background threads hand their results to it.
//
// Implementations say how tasks reach the main thread (Qt's event loop in the program, a queue
// that the test drains in tests); this base class adds the blocking hand-off and shut-down, the
// same for both.
//
// Shut-down: once shutDown has run, no queued task runs any more, background threads waiting in
// syncFromBackground are let go, and later tasks are dropped. That is how the process ends
// without a background thread stuck on a main thread that no longer serves it.
//
// Background threads reach the queue through a Handle taken on the main thread when they start,
// never through shared(): a handle outlives the queue safely, and once the queue is shut down or
// destroyed everything handed to it is dropped.
class MainQueue {
    struct State;

public:
    using Task = std::function<void()>;

    // A reference to a queue that may be shut down or destroyed while it is held. Copyable; any
    // thread may use it. An empty handle (default-constructed) drops everything.
    class Handle {
    public:
        Handle() = default;
        // As MainQueue::async; false when the task was dropped.
        bool async(Task task) const;
        // As MainQueue::syncFromBackground.
        bool syncFromBackground(Task task) const;
        // True while the queue exists and is not shut down.
        bool isLive() const;

    private:
        friend class MainQueue;
        explicit Handle(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    virtual ~MainQueue();
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    // Any thread. Queues task; it never runs before this returns, even on the main thread.
    void async(Task task);
    // Background threads only (a call from the main thread would wait for itself). Queues task
    // and waits until the main thread has run it: true. False when the queue was shut down
    // first; the task then never runs.
    bool syncFromBackground(Task task);
    // Any thread. Runs task on the main thread once delay has passed, unless the returned handle
    // was ended first: then the task never runs, and it is released at the ending. End the handle
    // on the main thread (ending it on another thread releases the task too, but cannot stop a
    // run already under way). An object that keeps the handle as a member is never called by its
    // delayed task once it is gone. Ending it after the run, or from inside the task, does nothing.
    [[nodiscard]] Subscription after(std::chrono::milliseconds delay, Task task);

    virtual bool isMainThread() const = 0;

    // Main thread. See the class comment.
    void shutDown();
    bool isShutDown() const;

    // Any thread: a handle to this queue, for code that may outlive it.
    Handle handle() const { return Handle(state_); }

    // The queue the program's objects use. Installed on the main thread before any background
    // thread starts; read from any thread.
    static MainQueue& shared();
    static void setShared(MainQueue* queue);
    // The installed queue, or null while none is (code that runs without one, such as the packet
    // core's own tests).
    static MainQueue* installed();
    // A handle to the installed queue; an empty one while none is installed.
    static Handle sharedHandle();

protected:
    MainQueue();
    // Any thread: hand task to the main thread, to run after what is already queued. Never
    // called once shutDown has begun; derived destructors call shutDown first, so no call
    // reaches a half-destroyed queue.
    virtual void post(Task task) = 0;
    // Any thread: hand task to the main thread, to run once delay has passed. May answer a
    // canceller: called on the main thread before the task has run, it drops the task and what
    // the queue keeps for it (its timer); called elsewhere, or later, it does nothing. An empty
    // answer: the queue keeps the task until its time, and it then does nothing.
    virtual Task postAfter(std::chrono::milliseconds delay, Task task) = 0;

private:
    // Shared with the tasks in flight, so a task that outlives its queue finds the shut-down
    // flag rather than a destroyed object.
    std::shared_ptr<State> state_;
};

// Debug builds check at the top of main-thread-only functions that they run there, whenever a
// main queue is installed.
#ifdef NDEBUG
#define DCCCAB_ASSERT_MAIN_THREAD() ((void)0)
#else
#define DCCCAB_ASSERT_MAIN_THREAD()                                                                \
    assert(MainQueue::installed() == nullptr || MainQueue::installed()->isMainThread())
#endif
