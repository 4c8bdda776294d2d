#include "FakeNotificationServer.h"

#include "PrivateBus.h"

#include <stdexcept>

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

constexpr uint closedByCall = 3;
} // namespace

FakeNotificationServer::FakeNotificationServer(PrivateBus& bus)
    : connection_(bus.connect(QStringLiteral("fake-notifications"))) {
    if (!connection_.registerObject(path, this, QDBusConnection::ExportScriptableSlots)) {
        throw std::runtime_error("cannot register the fake notification server's object");
    }
    if (!connection_.registerService(service)) {
        connection_.unregisterObject(path);
        throw std::runtime_error("cannot own org.freedesktop.Notifications on the private bus");
    }
}

FakeNotificationServer::~FakeNotificationServer() {
    for (const HeldCall& held : heldCalls_) {
        connection_.send(held.call.createErrorReply(
            QDBusError::Disconnected, QStringLiteral("the fake notification server ended")));
    }
    connection_.unregisterService(service);
    connection_.unregisterObject(path);
}

void FakeNotificationServer::sendHeldReplies() {
    std::vector<HeldCall> calls;
    calls.swap(heldCalls_);
    for (const HeldCall& held : calls) {
        connection_.send(held.call.createReply(QVariant::fromValue(held.id)));
    }
}

uint FakeNotificationServer::Notify(const QString& appName, uint replacesId, const QString& appIcon,
                                    const QString& summary, const QString& body,
                                    const QStringList& actions, const QVariantMap& hints,
                                    int expireTimeout) {
    notifyCalls_.push_back(
        {appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout});
    const auto id = static_cast<uint>(notifyCalls_.size());
    if (holdReplies_) {
        setDelayedReply(true);
        heldCalls_.push_back({message(), id});
    }
    return id;
}

void FakeNotificationServer::CloseNotification(uint id) {
    closedIds_.push_back(id);
    QDBusMessage closed =
        QDBusMessage::createSignal(path, interface, QStringLiteral("NotificationClosed"));
    closed << id << closedByCall;
    connection_.send(closed);
}

QStringList FakeNotificationServer::GetCapabilities() {
    return {QStringLiteral("body")};
}

QString FakeNotificationServer::GetServerInformation(QString& vendor, QString& version,
                                                     QString& specVersion) {
    vendor = QStringLiteral("DCC Cab tests");
    version = QStringLiteral("1");
    specVersion = QStringLiteral("1.2");
    return QStringLiteral("fake-notifications");
}
