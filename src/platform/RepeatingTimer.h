#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

// A repeating timer on a background thread of its own: the handler runs at once, then once per
// period, until the timer is stopped. The leeway is how late a run may come; it is kept as a
// property of the timer, and a run is never early.
//
// start is for the main thread. stop may be called from any thread, the handler included; the
// handler runs no more once the run in progress has returned, and the thread ends promptly.
class RepeatingTimer {
public:
    using Handler = std::function<void(RepeatingTimer&)>;

    RepeatingTimer(std::chrono::nanoseconds period, std::chrono::nanoseconds leeway,
                   Handler handler);
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // Starts the thread (through BackgroundThreads). The timer and keepAlive are held until that
    // thread has been joined, so the handler may use what keepAlive holds. Only the first call
    // starts anything.
    static void start(const std::shared_ptr<RepeatingTimer>& timer,
                      std::shared_ptr<void> keepAlive = {});
    void stop();
    bool isStopped() const;

    std::chrono::nanoseconds period() const { return period_; }
    std::chrono::nanoseconds leeway() const { return leeway_; }

private:
    const std::chrono::nanoseconds period_;
    const std::chrono::nanoseconds leeway_;
    Handler handler_;
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    bool started_ = false;
    bool stopped_ = false;
};
