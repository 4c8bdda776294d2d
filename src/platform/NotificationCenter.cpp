#include "NotificationCenter.h"

#include <utility>
#include <vector>

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* const center = new NotificationCenter; // outlives static teardown
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserverForName(std::optional<std::string> name,
                                                                 const void* sender,
                                                                 Handler handler) {
    std::lock_guard lock(mutex_);
    const Token token = nextToken_++;
    subscriptions_.emplace(token, Subscription{std::move(name), sender,
                                               std::make_shared<Handler>(std::move(handler))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    subscriptions_.erase(token);
}

void NotificationCenter::postNotification(const Notification& notification) {
    std::vector<Token> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, subscription] : subscriptions_) {
            if ((!subscription.name || *subscription.name == notification.name) &&
                (subscription.sender == nullptr || subscription.sender == notification.object)) {
                matching.push_back(token);
            }
        }
    }
    // The lock is not held while a handler runs, so handlers may post and (un)subscribe.
    for (Token token : matching) {
        std::shared_ptr<Handler> handler;
        {
            std::lock_guard lock(mutex_);
            auto found = subscriptions_.find(token);
            if (found == subscriptions_.end()) {
                continue;
            }
            handler = found->second.handler;
        }
        (*handler)(notification);
    }
}

void NotificationCenter::postNotificationName(std::string name, const void* sender,
                                              Notification::UserInfo userInfo) {
    postNotification(Notification{std::move(name), sender, std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return subscriptions_.size();
}
