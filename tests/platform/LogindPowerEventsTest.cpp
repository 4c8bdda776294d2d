#include "LogindPowerEvents.h"

#include "FakeLogin.h"
#include "NotificationCenter.h"
#include "PrivateBus.h"
#include "QtMainQueue.h"
#include "RecordingLog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QtCore/qtestsupport_core.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

using testing::ElementsAre;
using testing::HasSubstr;

namespace {

const QString loginPath = QStringLiteral("/org/freedesktop/login1");
const QString loginInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString prepareForSleep = QStringLiteral("PrepareForSleep");

// Serves events until condition holds; false if it never does within a limit only a hang reaches.
bool waitFor(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 20000);
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Counts the PrepareForSleep signals that reach a connection, from any sender.
class SignalProbe : public QObject {
    Q_OBJECT

public:
    explicit SignalProbe(QDBusConnection connection) {
        EXPECT_TRUE(connection.connect(QString(), loginPath, loginInterface, prepareForSleep, this,
                                       SLOT(received())));
    }
    int count() const { return count_; }

private Q_SLOTS:
    void received() { ++count_; }

private:
    int count_ = 0;
};

class LogindPowerEventsTest : public testing::Test {
protected:
    LogindPowerEventsTest() {
        NotificationCenter& center = NotificationCenter::defaultCenter();
        subscriptions_.push_back(center.addObserverForName(
            PowerEvents::willSleepNotification, nullptr, [this](const Notification& notification) {
                events.push_back("will sleep");
                senders.push_back(notification.object);
                if (duringWillSleep) {
                    duringWillSleep();
                }
            }));
        subscriptions_.push_back(center.addObserverForName(
            PowerEvents::didWakeNotification, nullptr, [this](const Notification& notification) {
                events.push_back("did wake");
                senders.push_back(notification.object);
            }));
    }

    std::size_t count(const std::string& event) const {
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
    }

    RecordingLog log;
    PrivateBus bus;
    std::vector<std::string> events;
    std::vector<const void*> senders;
    std::function<void()> duringWillSleep;

private:
    std::vector<Subscription> subscriptions_;
};

TEST_F(LogindPowerEventsTest, TakesADelayLockForSleepWhenMade) {
    FakeLogin login(bus);
    LogindPowerEvents power(bus.connect("client"));

    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));
    ASSERT_EQ(login.inhibitCalls().size(), 1u);
    const FakeLogin::InhibitCall& call = login.inhibitCalls()[0];
    EXPECT_EQ(call.what, "sleep");
    EXPECT_EQ(call.mode, "delay");
    EXPECT_FALSE(call.who.isEmpty());
    EXPECT_FALSE(call.why.isEmpty());
    EXPECT_EQ(login.heldLocks(), 1u);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(LogindPowerEventsTest, PortsCloseWhileTheLockIsHeldThenItIsLetGoAndTakenAgainAfterWake) {
    FakeLogin login(bus);
    LogindPowerEvents power(bus.connect("client"));
    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));
    bool heldDuringWillSleep = false;
    duringWillSleep = [&] { heldDuringWillSleep = !login.isReleased(0) && power.isHoldingLock(); };

    login.emitPrepareForSleep(true);
    ASSERT_TRUE(waitFor([&] { return count("will sleep") == 1; }));
    EXPECT_TRUE(heldDuringWillSleep) << "logind could have suspended before the ports closed";
    EXPECT_FALSE(power.isHoldingLock());
    EXPECT_TRUE(waitFor([&] { return login.isReleased(0); }));

    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));
    EXPECT_THAT(events, ElementsAre("will sleep", "did wake"));
    const void* source = static_cast<const PowerEvents*>(&power);
    EXPECT_THAT(senders, ElementsAre(source, source));
    ASSERT_EQ(login.inhibitCalls().size(), 2u);
    EXPECT_EQ(login.inhibitCalls()[1].what, "sleep");
    EXPECT_EQ(login.inhibitCalls()[1].mode, "delay");
    EXPECT_FALSE(login.isReleased(1));
    EXPECT_EQ(login.heldLocks(), 1u);
}

TEST_F(LogindPowerEventsTest, RepeatedAndStraySignalsAnnounceOnlyChangesAndAskForNoExtraLock) {
    FakeLogin login(bus);
    LogindPowerEvents power(bus.connect("client"));
    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));

    login.emitPrepareForSleep(false); // awake already, and holding the lock
    login.emitPrepareForSleep(true);
    login.emitPrepareForSleep(true);
    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return count("did wake") == 1 && power.isHoldingLock(); }));
    login.emitPrepareForSleep(false);
    login.emitPrepareForSleep(true);
    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return count("did wake") == 2 && power.isHoldingLock(); }));

    EXPECT_THAT(events, ElementsAre("will sleep", "did wake", "will sleep", "did wake"));
    // The fake answers one client's calls in order: had a stray signal asked for a lock, its call
    // would be counted before the one whose lock the client holds now.
    EXPECT_EQ(login.inhibitCalls().size(), 3u);
    EXPECT_TRUE(waitFor([&] { return login.heldLocks() == 1; }));
    EXPECT_FALSE(login.isReleased(2));
}

TEST_F(LogindPowerEventsTest, ALockGrantedAfterWillSleepIsLetGoAtOnceAndWakeTakesANewOne) {
    FakeLogin login(bus);
    login.setHoldReplies(true);
    LogindPowerEvents power(bus.connect("client"));
    ASSERT_TRUE(waitFor([&] { return login.inhibitCalls().size() == 1; }));

    login.emitPrepareForSleep(true);
    ASSERT_TRUE(waitFor([&] { return count("will sleep") == 1; }));
    login.sendHeldReplies();
    ASSERT_EQ(login.locksHandedOut(), 1u);
    EXPECT_TRUE(waitFor([&] { return login.isReleased(0); })) << "the late lock holds up the sleep";
    EXPECT_FALSE(power.isHoldingLock());

    login.setHoldReplies(false);
    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));
    EXPECT_EQ(login.locksHandedOut(), 2u);
    EXPECT_FALSE(login.isReleased(1));
    EXPECT_THAT(events, ElementsAre("will sleep", "did wake"));
}

TEST_F(LogindPowerEventsTest, ALockAskedForBeforeASleepAndWakeIsLetGoForTheOneAskedForAfter) {
    FakeLogin login(bus);
    login.setHoldReplies(true);
    LogindPowerEvents power(bus.connect("client"));
    ASSERT_TRUE(waitFor([&] { return login.inhibitCalls().size() == 1; }));

    login.emitPrepareForSleep(true);
    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return login.inhibitCalls().size() == 2; }));
    login.sendHeldReplies();

    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock() && login.isReleased(0); }));
    EXPECT_FALSE(login.isReleased(1));
    EXPECT_EQ(login.heldLocks(), 1u);
}

TEST_F(LogindPowerEventsTest, DestructionLetsGoOfTheLockAndLeavesNoDescriptorsBehind) {
    FakeLogin login(bus);
    const QDBusConnection client = bus.connect("client");
    const std::size_t before = openDescriptors();
    {
        LogindPowerEvents power(client);
        ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));
        login.emitPrepareForSleep(true);
        login.emitPrepareForSleep(false);
        ASSERT_TRUE(waitFor([&] { return count("did wake") == 1 && power.isHoldingLock(); }));
        ASSERT_EQ(login.heldLocks(), 1u);
    }
    EXPECT_TRUE(waitFor([&] { return login.heldLocks() == 0; }));
    // The fake keeps the read end of each lock it handed out; nothing else may remain.
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == before + login.locksHandedOut(); }))
        << openDescriptors() << " descriptors open, " << before << " before and "
        << login.locksHandedOut() << " kept by the fake";
}

TEST_F(LogindPowerEventsTest, WithoutALoginManagerLogsOnceAndIgnoresTheSignalFromOthers) {
    const QDBusConnection client = bus.connect("client");
    SignalProbe probe(client);
    LogindPowerEvents power(client);
    ASSERT_TRUE(waitFor([&] { return !log.lines().empty(); }));

    // Someone without the login manager's name sends the signal. It reaches the client's
    // connection (the probe sees it there); by the second one the first has been dealt with.
    QDBusMessage impostor = QDBusMessage::createSignal(loginPath, loginInterface, prepareForSleep);
    impostor << true;
    QDBusConnection other = bus.connect("impostor");
    other.send(impostor);
    other.send(impostor);
    ASSERT_TRUE(waitFor([&] { return probe.count() == 2; }));

    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(power.isHoldingLock());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_THAT(log.lines()[0], HasSubstr("Sleep and wake may not be followed"));
    EXPECT_THAT(log.lines()[0], HasSubstr("org.freedesktop.DBus.Error.ServiceUnknown"));
    EXPECT_THAT(log.lines()[0], HasSubstr("Close the serial ports yourself"));
}

TEST_F(LogindPowerEventsTest, OnABusThatIsNotConnectedLogsOnceAndHoldsNothing) {
    const QString name = QStringLiteral("not-connected");
    {
        LogindPowerEvents power(
            QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"), name));
        EXPECT_FALSE(power.isHoldingLock());
    }
    QDBusConnection::disconnectFromBus(name);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_THAT(log.lines()[0], HasSubstr("Sleep and wake will not be followed"));
    EXPECT_THAT(log.lines()[0], HasSubstr("Close the serial ports yourself"));
}

TEST_F(LogindPowerEventsTest, ARefusedLockIsLoggedOnceAndSleepIsStillAnnounced) {
    FakeLogin login(bus);
    login.setFailInhibit(true);
    LogindPowerEvents power(bus.connect("client"));
    ASSERT_TRUE(waitFor([&] { return log.lines().size() == 1; }));

    login.emitPrepareForSleep(true);
    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return login.inhibitCalls().size() == 2; }));
    // The second refusal reaches the client before this signal, which asks again.
    login.setFailInhibit(false);
    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));

    EXPECT_THAT(events, ElementsAre("will sleep", "did wake"));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_THAT(log.lines()[0], HasSubstr("org.freedesktop.DBus.Error.AccessDenied"));
}

TEST(PrivateBus, LeavesNoProcessDescriptorOrDirectoryBehind) {
    {
        PrivateBus warmUp; // QtDBus opens descriptors of its own at the first connection
        ASSERT_TRUE(warmUp.connect("client").isConnected());
    }
    const std::size_t before = openDescriptors();
    std::string socket;
    {
        PrivateBus bus;
        const QString address = bus.address();
        ASSERT_TRUE(address.startsWith("unix:path=")) << address.toStdString();
        socket = address.mid(10).section(',', 0, 0).toStdString();
        EXPECT_TRUE(std::filesystem::exists(socket));
        EXPECT_TRUE(bus.connect("client").isConnected());
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(socket).parent_path()));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a daemon is still running or unreaped";
    EXPECT_EQ(errno, ECHILD);
    // At most as many: QtDBus may still be closing descriptors of the warm-up's connection when
    // the count before is taken.
    EXPECT_TRUE(waitFor([&] { return openDescriptors() <= before; }))
        << openDescriptors() << " descriptors open, " << before << " before";
}

} // namespace

#include "LogindPowerEventsTest.moc"
