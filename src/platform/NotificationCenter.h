#pragma once

#include "Notification.h"
#include "Subscription.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The process-wide notification centre: objects post named notifications, and subscribers that
// asked for that name (from one sender or from any) are called with them.
//
// Delivery is synchronous, on the posting thread, in the order of subscription, before
// postNotificationName returns. Subscribing, unsubscribing and posting may happen on any thread
// and from inside a delivery; the centre's lock is never held while a handler runs. A
// subscription lasts as long as the Subscription returned for it; a subscriber ended during a
// delivery is not called after the ending returns (unless it is running on another thread at
// that moment). A handle that outlives its centre does nothing. In this program every post
// happens on the main thread.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    // Posted by the application on the main thread just before it quits.
    static constexpr const char* applicationWillTerminateNotification =
        "ApplicationWillTerminateNotification";

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The centre every part of the program uses; lives until the process ends.
    static NotificationCenter& defaultCenter();

    // Subscribes handler to notifications called name (any name when absent) posted by sender
    // (any sender when null), until the returned handle is ended, on any thread.
    [[nodiscard]] Subscription addObserverForName(std::optional<std::string> name,
                                                  const void* sender, Handler handler);

    void postNotification(const Notification& notification);
    void postNotificationName(std::string name, const void* sender,
                              Notification::UserInfo userInfo = {});

    // Number of subscriptions, for tests that check nothing was left subscribed.
    std::size_t observerCount() const;

private:
    struct Subscribers;

    // Owned by the centre alone; the handles hold it weakly, to find out whether it is gone.
    std::shared_ptr<Subscribers> subscribers_;
};
