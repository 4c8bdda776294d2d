#pragma once

#include "UserNotification.h"

class DesktopNotifier;

// What a desktop notifier tells its user about the notifications it was given.
//
// Main thread only. The notifier never owns its delegate: a delegate that goes away first must set
// the notifier's delegate to null.
class DesktopNotifierDelegate {
public:
    // Whether to show notification while the program is in front; shown by default.
    virtual bool
    userNotificationCenterShouldPresentNotification(DesktopNotifier& center,
                                                    const UserNotification& notification);
    // The desktop has taken notification (now carrying its identifier).
    virtual void
    userNotificationCenterDidDeliverNotification(DesktopNotifier& center,
                                                 const UserNotification& notification) = 0;

protected:
    ~DesktopNotifierDelegate() = default;
};
