#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <vector>

class PrivateBus;

// A stand-in for the desktop's notification server on a PrivateBus: owns the name
// org.freedesktop.Notifications on a connection of its own, with an object at
// /org/freedesktop/Notifications that answers org.freedesktop.Notifications' Notify
// (susssasa{sv}i -> u, ids 1, 2, ... in the order of the calls), CloseNotification(u) (then sends
// NotificationClosed(id, 3), closed by a call), GetCapabilities and GetServerInformation.
//
// Main thread, like the code under test, so that code must not block on its calls: tests wait
// with QTest::qWaitFor, which serves the calls meanwhile. One server per bus; the bus must outlive
// it. Notify calls still held back when it is destroyed are answered with an error; its name is
// given up then, so later calls find nobody.
class FakeNotificationServer : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct NotifyCall {
        QString appName;
        uint replacesId = 0;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        // As the bus delivered them: a boolean hint holds a bool, a string one a QString.
        QVariantMap hints;
        int expireTimeout = 0;
    };

    // Throws std::runtime_error if the name or the object cannot be registered.
    explicit FakeNotificationServer(PrivateBus& bus);
    ~FakeNotificationServer() override;
    FakeNotificationServer(const FakeNotificationServer&) = delete;
    FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

    // While set, Notify calls get no answer until sendHeldReplies (each then gets its id).
    void setHoldReplies(bool hold) { holdReplies_ = hold; }
    void sendHeldReplies();

    // Every Notify call received, in order, held ones included; call i got id i + 1.
    const std::vector<NotifyCall>& notifyCalls() const { return notifyCalls_; }
    // The id of every CloseNotification call received, in order.
    const std::vector<uint>& closedIds() const { return closedIds_; }

public Q_SLOTS:
    // Called over the bus only.
    Q_SCRIPTABLE uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                             const QString& summary, const QString& body,
                             const QStringList& actions, const QVariantMap& hints,
                             int expireTimeout);
    Q_SCRIPTABLE void CloseNotification(uint id);
    Q_SCRIPTABLE QStringList GetCapabilities();
    Q_SCRIPTABLE QString GetServerInformation(QString& vendor, QString& version,
                                              QString& specVersion);

private:
    struct HeldCall {
        QDBusMessage call;
        uint id;
    };

    QDBusConnection connection_;
    bool holdReplies_ = false;
    std::vector<NotifyCall> notifyCalls_;
    std::vector<HeldCall> heldCalls_;
    std::vector<uint> closedIds_;
};
