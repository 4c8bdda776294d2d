#pragma once

#include "DesktopNotifier.h"
#include "UserNotification.h"

#include <QDBusConnection>
#include <QObject>
#include <string>

class QDBusPendingCallWatcher;

// Desktop notifications through the desktop's notification server, the owner of
// org.freedesktop.Notifications on the session bus: deliverNotification becomes Notify (titled,
// "suppress-sound" when the notification has no sound), removeDeliveredNotification becomes
// CloseNotification with the identifier the server gave.
//
// Main thread only: made, used and destroyed there. No call blocks on the server, so the server
// (or a test's fake of it) may live on the main thread too. The delegate is asked whether to
// present a notification inside deliverNotification; its delivery is reported later, from the
// main thread's event loop, once the server has answered with the identifier, never before
// deliverNotification returns. Answers that arrive after the notifier is destroyed are dropped.
//
// Without a notification server (the bus not connected, nobody owning the name, the call failing
// or going unanswered) nothing is shown and nothing is reported to the delegate; one line in the
// log says why. Further failures stay silent until a notification gets through again.
class FreedesktopNotifier : public QObject, public DesktopNotifier {
    Q_OBJECT

public:
    // bus: the session bus in the program, a private bus in tests. The notifier keeps a copy.
    explicit FreedesktopNotifier(QDBusConnection bus);
    ~FreedesktopNotifier() override;

    void deliverNotification(const UserNotification& notification) override;
    void removeDeliveredNotification(const UserNotification& notification) override;

private:
    void notifyReplied(QDBusPendingCallWatcher& watcher, const UserNotification& notification);
    void reportUnavailable(const std::string& reason);

    QDBusConnection bus_;
    // The server's absence has been logged, and no notification has got through since.
    bool unavailableLogged_ = false;
};
