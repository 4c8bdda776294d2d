#include "FreedesktopNotifier.h"

#include "DesktopNotifierDelegate.h"
#include "FakeNotificationServer.h"
#include "PrivateBus.h"
#include "RecordingLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QtCore/qtestsupport_core.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

// Serves events until condition holds; false if it never does within a limit only a hang reaches.
bool waitFor(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 20000);
}

// Returns once everything sent on connection before this call has been answered, and the
// answers handed to their watchers. The bus answers one connection's calls in order, and the
// watchers hear of them in order.
void drain(const QDBusConnection& connection) {
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    QDBusPendingCallWatcher watcher(connection.asyncCall(ping));
    bool answered = watcher.isFinished();
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, [&] { answered = true; });
    ASSERT_TRUE(waitFor([&] { return answered; }));
}

// Declines the notifications whose title it is told to, and keeps every delivery reported.
class RecordingNotifierDelegate : public DesktopNotifierDelegate {
public:
    bool
    userNotificationCenterShouldPresentNotification(DesktopNotifier&,
                                                    const UserNotification& notification) override {
        return notification.title != declinedTitle;
    }
    void
    userNotificationCenterDidDeliverNotification(DesktopNotifier&,
                                                 const UserNotification& notification) override {
        delivered.push_back(notification);
    }

    std::string declinedTitle;
    std::vector<UserNotification> delivered;
};

class FreedesktopNotifierTest : public testing::Test {
protected:
    PrivateBus bus;
    RecordingNotifierDelegate delegate;
};

TEST_F(FreedesktopNotifierTest, ShowsWhatThePanelAsksAndWithdrawsItByTheServersId) {
    struct Case {
        UserNotification notification;
        bool presented;
        QVariantMap hints;
    };
    const std::vector<Case> cases = {
        {{"Serial Port Connected", "Serial Port ttyUSB0 was connected.", std::nullopt, 0},
         true,
         {{"suppress-sound", true}}},
        {{"Declined", "Not shown", std::nullopt, 0}, false, {}},
        {{"Bell", "With a sound", "bell", 0}, true, {{"sound-name", QString("bell")}}},
    };
    FakeNotificationServer server(bus);
    FreedesktopNotifier notifier(bus.connect("client"));
    delegate.declinedTitle = "Declined";
    notifier.setDelegate(&delegate);

    for (const Case& row : cases) {
        notifier.deliverNotification(row.notification);
    }
    EXPECT_THAT(delegate.delivered, IsEmpty()) << "reported before the server answered";
    ASSERT_TRUE(waitFor([&] { return delegate.delivered.size() == 2; }));

    std::vector<UserNotification> shown;
    for (const Case& row : cases) {
        if (row.presented) {
            shown.push_back(row.notification);
        }
    }
    ASSERT_EQ(server.notifyCalls().size(), shown.size());
    std::size_t call = 0;
    for (const Case& row : cases) {
        if (!row.presented) {
            continue;
        }
        SCOPED_TRACE(row.notification.title);
        const FakeNotificationServer::NotifyCall& received = server.notifyCalls()[call];
        EXPECT_EQ(received.appName, "DCC Cab");
        EXPECT_EQ(received.replacesId, 0u);
        EXPECT_EQ(received.summary.toStdString(), row.notification.title);
        EXPECT_EQ(received.body.toStdString(), row.notification.informativeText);
        EXPECT_THAT(received.actions, IsEmpty());
        EXPECT_EQ(received.expireTimeout, -1);
        // Compared with their types: "suppress-sound" must go out as a boolean.
        EXPECT_EQ(received.hints, row.hints);
        for (const QString& key : row.hints.keys()) {
            EXPECT_STREQ(received.hints.value(key).typeName(), row.hints.value(key).typeName())
                << key.toStdString();
        }
        const UserNotification& delivered = delegate.delivered[call];
        EXPECT_EQ(delivered.title, row.notification.title);
        EXPECT_EQ(delivered.informativeText, row.notification.informativeText);
        EXPECT_EQ(delivered.identifier, call + 1) << "not the server's id";
        ++call;
    }

    notifier.removeDeliveredNotification(cases[1].notification); // never delivered: id 0
    for (const UserNotification& delivered : delegate.delivered) {
        notifier.removeDeliveredNotification(delivered);
    }
    ASSERT_TRUE(waitFor([&] { return server.closedIds().size() >= 2; }));
    EXPECT_THAT(server.closedIds(), ElementsAre(1u, 2u));
}

TEST_F(FreedesktopNotifierTest, WithoutAServerLogsOneLineAndReportsNothing) {
    struct Case {
        const char* what;
        std::function<QDBusConnection()> connection;
        const char* reason;
    };
    const QString notConnected = QStringLiteral("not-connected");
    const std::vector<Case> cases = {
        {"nobody owns the name", [&] { return bus.connect("client"); },
         "org.freedesktop.DBus.Error.ServiceUnknown"},
        {"bus not connected",
         [&] {
             return QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"),
                                                  notConnected);
         },
         "not connected"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        RecordingLog log;
        RecordingNotifierDelegate delegate;
        {
            FreedesktopNotifier notifier(row.connection());
            notifier.setDelegate(&delegate);
            for (int shown = 0; shown < 3; ++shown) {
                notifier.deliverNotification({"Serial Port Connected", "ttyUSB0", std::nullopt, 0});
            }
            drain(row.connection());
        }
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_THAT(log.lines()[0], HasSubstr("Desktop notifications are not available"));
        EXPECT_THAT(log.lines()[0], HasSubstr(row.reason));
        EXPECT_THAT(delegate.delivered, IsEmpty());
    }
    QDBusConnection::disconnectFromBus(notConnected);
}

TEST_F(FreedesktopNotifierTest, AServerThatCameAndWentIsLoggedMissingOnceMore) {
    RecordingLog log;
    const QDBusConnection client = bus.connect("client");
    FreedesktopNotifier notifier(client);
    notifier.setDelegate(&delegate);
    const UserNotification notification{"Serial Port Connected", "ttyUSB0", std::nullopt, 0};

    notifier.deliverNotification(notification);
    notifier.deliverNotification(notification);
    drain(client);
    ASSERT_EQ(log.lines().size(), 1u);
    {
        FakeNotificationServer server(bus);
        notifier.deliverNotification(notification);
        ASSERT_TRUE(waitFor([&] { return delegate.delivered.size() == 1; }));
    }
    notifier.deliverNotification(notification);
    notifier.deliverNotification(notification);
    drain(client);
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(delegate.delivered.size(), 1u);
}

TEST_F(FreedesktopNotifierTest, AnAnswerThatArrivesAfterTheNotifierIsGoneIsDropped) {
    FakeNotificationServer server(bus);
    server.setHoldReplies(true);
    const QDBusConnection client = bus.connect("client");
    RecordingNotifierDelegate lateDelegate;
    {
        FreedesktopNotifier notifier(client);
        notifier.setDelegate(&lateDelegate);
        notifier.deliverNotification({"Serial Port Connected", "ttyUSB0", std::nullopt, 0});
        ASSERT_TRUE(waitFor([&] { return server.notifyCalls().size() == 1; }));
    }
    server.setHoldReplies(false);
    server.sendHeldReplies();
    // The server answers in order, so the late answer reaches the connection before this one.
    FreedesktopNotifier next(client);
    next.setDelegate(&delegate);
    next.deliverNotification({"Serial Port Disconnected", "ttyUSB0", std::nullopt, 0});
    ASSERT_TRUE(waitFor([&] { return delegate.delivered.size() == 1; }));
    EXPECT_EQ(delegate.delivered[0].identifier, 2u);
    EXPECT_THAT(lateDelegate.delivered, IsEmpty());
}

} // namespace
