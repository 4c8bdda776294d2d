#include "NotificationCenter.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

// The subscriptions, by token. Tokens are taken under the lock, so the map's order is the order
// of subscription even across threads.
struct NotificationCenter::Subscribers final : Subscription::Source {
    struct Entry {
        std::optional<std::string> name;
        const void* sender;
        std::shared_ptr<Handler> handler; // shared with deliveries under way
    };

    void endSubscription(Subscription::Token token) override {
        decltype(entries)::node_type ended;
        {
            std::lock_guard lock(mutex);
            ended = entries.extract(token);
        }
        // Destroyed unlocked: what the handler captured may reach for the centre.
    }

    mutable std::mutex mutex;
    std::map<Subscription::Token, Entry> entries;
};

NotificationCenter::NotificationCenter() : subscribers_(std::make_shared<Subscribers>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* const center = new NotificationCenter; // outlives static teardown
    return *center;
}

Subscription NotificationCenter::addObserverForName(std::optional<std::string> name,
                                                    const void* sender, Handler handler) {
    auto shared = std::make_shared<Handler>(std::move(handler));
    std::lock_guard lock(subscribers_->mutex);
    const Subscription::Token token = Subscription::nextToken();
    subscribers_->entries.emplace(token,
                                  Subscribers::Entry{std::move(name), sender, std::move(shared)});
    return Subscription(subscribers_, token);
}

void NotificationCenter::postNotification(const Notification& notification) {
    std::vector<Subscription::Token> matching;
    {
        std::lock_guard lock(subscribers_->mutex);
        for (const auto& [token, entry] : subscribers_->entries) {
            if ((!entry.name || *entry.name == notification.name) &&
                (entry.sender == nullptr || entry.sender == notification.object)) {
                matching.push_back(token);
            }
        }
    }
    // The lock is not held while a handler runs, so handlers may post and (un)subscribe.
    for (Subscription::Token token : matching) {
        std::shared_ptr<Handler> handler;
        {
            std::lock_guard lock(subscribers_->mutex);
            auto found = subscribers_->entries.find(token);
            if (found == subscribers_->entries.end()) {
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
    std::lock_guard lock(subscribers_->mutex);
    return subscribers_->entries.size();
}
