#include "RepeatingTimer.h"

#include "BackgroundThreads.h"

#include <utility>

RepeatingTimer::RepeatingTimer(std::chrono::nanoseconds period, std::chrono::nanoseconds leeway,
                               Handler handler)
    : period_(period), leeway_(leeway), handler_(std::move(handler)) {}

void RepeatingTimer::start(const std::shared_ptr<RepeatingTimer>& timer,
                           std::shared_ptr<void> keepAlive) {
    {
        std::lock_guard lock(timer->mutex_);
        if (timer->started_) {
            return;
        }
        timer->started_ = true;
    }
    RepeatingTimer* self = timer.get();
    auto held = std::make_shared<std::pair<std::shared_ptr<RepeatingTimer>, std::shared_ptr<void>>>(
        timer, std::move(keepAlive));
    BackgroundThreads::shared().start(
        [self](std::stop_token token) {
            auto next = std::chrono::steady_clock::now();
            for (;;) {
                {
                    std::unique_lock lock(self->mutex_);
                    self->wake_.wait_until(lock, token, next, [self] { return self->stopped_; });
                    if (self->stopped_ || token.stop_requested()) {
                        return;
                    }
                }
                self->handler_(*self);
                next += self->period_;
                const auto now = std::chrono::steady_clock::now();
                if (next < now) {
                    next = now; // fell behind (a slow handler): do not run a burst to catch up
                }
            }
        },
        std::move(held));
}

void RepeatingTimer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

bool RepeatingTimer::isStopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}
