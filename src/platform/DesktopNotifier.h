#pragma once

#include "UserNotification.h"

class DesktopNotifierDelegate;

// The desktop's notification service: shows a titled notification and withdraws it later.
//
// Like the device events, this service may be absent, and that is no error: with none installed
// (defaultUserNotificationCenter() is null) the program only logs what it would have shown. The
// program installs a FreedesktopNotifier (D-Bus); tests install a TestDesktopNotifier.
//
// Main thread only. deliverNotification never calls back before it returns: delivery is reported
// to the delegate later, from the main thread's event loop, once the desktop has taken the
// notification. A notifier that cannot reach the desktop says so in the log (once) and reports
// nothing.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // The installed notifier, or null when none is.
    static DesktopNotifier* defaultUserNotificationCenter();
    // Installs notifier (null: none) and returns the one it replaces. Main thread; the notifier
    // must outlive its installation.
    static DesktopNotifier* install(DesktopNotifier* notifier);

    DesktopNotifierDelegate* delegate() const { return delegate_; }
    void setDelegate(DesktopNotifierDelegate* delegate) { delegate_ = delegate; }

    // Shows notification. The delegate is asked whether to present it and, once the desktop has
    // it, told of its delivery with the identifier filled in.
    virtual void deliverNotification(const UserNotification& notification) = 0;
    // Withdraws a delivered notification (by its identifier); one already gone, or never
    // delivered, is ignored.
    virtual void removeDeliveredNotification(const UserNotification& notification) = 0;

protected:
    DesktopNotifier() = default;

private:
    DesktopNotifierDelegate* delegate_ = nullptr;
};
