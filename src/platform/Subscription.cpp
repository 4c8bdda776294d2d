#include "Subscription.h"

#include <atomic>
#include <utility>

Subscription::Subscription(std::weak_ptr<Source> source, Token token) noexcept
    : source_(std::move(source)), token_(token) {}

Subscription::Subscription(Subscription&& other) noexcept
    : source_(std::move(other.source_)), token_(std::exchange(other.token_, 0)) {}

Subscription& Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        cancel();
        source_ = std::move(other.source_);
        token_ = std::exchange(other.token_, 0);
    }
    return *this;
}

Subscription::~Subscription() {
    cancel();
}

void Subscription::cancel() noexcept {
    // Empty the handle before ending: what the ended callback captured may own this very handle,
    // and is released inside endSubscription.
    const Token token = std::exchange(token_, 0);
    const std::shared_ptr<Source> source = std::exchange(source_, {}).lock();
    if (source != nullptr && token != 0) {
        source->endSubscription(token);
    }
}

Subscription::Token Subscription::nextToken() noexcept {
    static std::atomic<Token> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}
