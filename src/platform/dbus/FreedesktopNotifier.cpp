#include "FreedesktopNotifier.h"

#include "DesktopNotifierDelegate.h"
#include "Log.h"
#include "MainQueue.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <utility>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

// Let the server choose how long a notification stays; the panel withdraws its own.
constexpr int serverDefaultTimeout = -1;

} // namespace

FreedesktopNotifier::FreedesktopNotifier(QDBusConnection bus) : bus_(std::move(bus)) {
    DCCCAB_ASSERT_MAIN_THREAD();
}

FreedesktopNotifier::~FreedesktopNotifier() {
    DCCCAB_ASSERT_MAIN_THREAD();
    // Calls still on their way die with their watchers, our children; QtDBus drops their replies.
}

void FreedesktopNotifier::deliverNotification(const UserNotification& notification) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!bus_.isConnected()) {
        std::string reason = "not connected to the session bus";
        const QString detail = bus_.lastError().message();
        if (!detail.isEmpty()) {
            reason += " (" + detail.toStdString() + ")";
        }
        reportUnavailable(reason);
        return;
    }
    if (delegate() != nullptr &&
        !delegate()->userNotificationCenterShouldPresentNotification(*this, notification)) {
        return;
    }

    QVariantMap hints;
    if (notification.soundName) {
        hints.insert(QStringLiteral("sound-name"), QString::fromStdString(*notification.soundName));
    } else {
        hints.insert(QStringLiteral("suppress-sound"), true);
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    // The server reads ids as uint32 and the timeout as int32: other integer types would not
    // match the method's signature.
    call << QStringLiteral("DCC Cab") << static_cast<uint>(0) << QString()
         << QString::fromStdString(notification.title)
         << QString::fromStdString(notification.informativeText) << QStringList() << hints
         << serverDefaultTimeout;
    // Asynchronous: a blocking call would freeze the window, and never return if the server's
    // answer had to come from this thread.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notification](QDBusPendingCallWatcher* finished) {
                notifyReplied(*finished, notification);
            });
}

void FreedesktopNotifier::removeDeliveredNotification(const UserNotification& notification) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (notification.identifier == 0 || !bus_.isConnected()) {
        return; // never delivered, or nowhere to withdraw it from
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("CloseNotification"));
    call << static_cast<uint>(notification.identifier);
    // The answer does not matter: a notification the user closed already is an error to the
    // server, and nothing is left to do either way.
    bus_.send(call);
}

void FreedesktopNotifier::notifyReplied(QDBusPendingCallWatcher& watcher,
                                        const UserNotification& notification) {
    DCCCAB_ASSERT_MAIN_THREAD();
    watcher.deleteLater();
    const QDBusPendingReply<uint> reply = watcher;
    if (reply.isError()) {
        const QDBusError error = reply.error();
        reportUnavailable(error.message().toStdString() + " (" + error.name().toStdString() + ")");
        return;
    }
    unavailableLogged_ = false;
    if (delegate() != nullptr) {
        UserNotification delivered = notification;
        delivered.identifier = reply.value();
        delegate()->userNotificationCenterDidDeliverNotification(*this, delivered);
    }
}

void FreedesktopNotifier::reportUnavailable(const std::string& reason) {
    if (unavailableLogged_) {
        return;
    }
    unavailableLogged_ = true;
    Log::line("Desktop notifications are not available: " + reason);
}
