#pragma once

#include "Notification.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The process-wide notification centre: objects post named notifications, and subscribers that
// asked for that name (from one sender or from any) are called with them.
//
// Delivery is synchronous, on the posting thread, in the order of subscription, before
// postNotificationName returns. Subscribing, unsubscribing and posting may happen on any thread
// and from inside a delivery; a subscriber removed during a delivery is not called after its
// removal returns (unless it is running on another thread at that moment). In this program every
// post happens on the main thread.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    // Posted by the application on the main thread just before it quits.
    static constexpr const char* applicationWillTerminateNotification =
        "ApplicationWillTerminateNotification";

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The centre every part of the program uses; lives until the process ends.
    static NotificationCenter& defaultCenter();

    // Subscribes handler to notifications called name (any name when absent) posted by sender
    // (any sender when null). The returned token removes the subscription.
    Token addObserverForName(std::optional<std::string> name, const void* sender, Handler handler);
    void removeObserver(Token token);

    void postNotification(const Notification& notification);
    void postNotificationName(std::string name, const void* sender,
                              Notification::UserInfo userInfo = {});

    // Number of subscriptions, for tests that check nothing was left subscribed.
    std::size_t observerCount() const;

private:
    struct Subscription {
        std::optional<std::string> name;
        const void* sender;
        std::shared_ptr<Handler> handler;
    };

    mutable std::mutex mutex_;
    Token nextToken_ = 1;
    std::map<Token, Subscription> subscriptions_;
};
