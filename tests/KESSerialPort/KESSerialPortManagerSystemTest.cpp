// The port manager on the program's own event sources: the libudev monitor, with the kernel
// announcing ttyS0 gone and back, and systemd-logind's sleep and wake, played by a fake login
// manager on a private bus.

#include "BackgroundThreads.h"
#include "FakeLogin.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "KernelUevents.h"
#include "LogindPowerEvents.h"
#include "PrivateBus.h"
#include "PseudoTerminalPair.h"
#include "RecordingDelegate.h"
#include "TestDeviceEvents.h"
#include "TestDeviceRegistry.h"
#include "UdevDeviceEvents.h"

#include <QtCore/qtestsupport_core.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <termios.h>

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using PortList = KESSerialPortManager::PortList;

class TestManager : public KESSerialPortManager {};

bool waitFor(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 20000);
}

// The names of the ports in every connected or disconnected notification, in order.
class NotificationLog {
public:
    NotificationLog() {
        auto& center = NotificationCenter::defaultCenter();
        for (const char* name : {KESSerialPortsWereConnectedNotification,
                                 KESSerialPortsWereDisconnectedNotification}) {
            subscriptions_.push_back(
                center.addObserverForName(name, nullptr, [this](const Notification& notification) {
                    const bool connected =
                        notification.name == KESSerialPortsWereConnectedNotification;
                    const PortList* ports = notification.userInfoValue<PortList>(
                        connected ? KESConnectedSerialPortsKey : KESDisconnectedSerialPortsKey);
                    for (const auto& port : *ports) {
                        entries.push_back((connected ? "connected " : "disconnected ") +
                                          port->name());
                    }
                }));
        }
    }
    bool contains(const std::string& entry) const {
        return std::find(entries.begin(), entries.end(), entry) != entries.end();
    }

    std::vector<std::string> entries;

private:
    std::vector<Subscription> subscriptions_;
};

bool lists(const KESSerialPortManager& manager, const std::string& name) {
    const PortList ports = manager.availablePorts().value_or(PortList{});
    return std::any_of(ports.begin(), ports.end(),
                       [&](const auto& port) { return port->name() == name; });
}

TEST(KESSerialPortManagerOnUdev, FollowsADeviceThatGoesAndComesBackWithoutARestart) {
    if (const std::string reason = KernelUevents::whyTtyS0IsUnusable(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    UdevDeviceEvents devices;
    DeviceEvents* replaced = DeviceEvents::install(&devices);
    NotificationLog notifications;
    {
        TestManager manager;
        ASSERT_TRUE(lists(manager, "ttyS0"));
        std::weak_ptr<KESSerialPort> before = KESSerialPort::existingPortWithPath("/dev/ttyS0");
        ASSERT_FALSE(before.expired());
        before.lock()->setBaudRate(9600);

        KernelUevents::announceTtyS0("remove");
        ASSERT_TRUE(waitFor([&] { return notifications.contains("disconnected ttyS0"); }));
        EXPECT_FALSE(lists(manager, "ttyS0"));
        EXPECT_TRUE(before.expired()) << "nothing holds the port of a device that went";

        KernelUevents::announceTtyS0("add");
        ASSERT_TRUE(waitFor([&] { return notifications.contains("connected ttyS0"); }));
        ASSERT_TRUE(lists(manager, "ttyS0"));
        const auto again = KESSerialPort::existingPortWithPath("/dev/ttyS0");
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->baudRate(), 38400u) << "a new port with the default settings";
    }
    DeviceEvents::install(replaced);
}

// Ports on pseudo-terminals listed by the test's device source; sleep and wake come from
// LogindPowerEvents on a private bus where a fake login manager hands out the sleep lock.
class KESSerialPortManagerOnLogind : public testing::Test {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < ptys.size(); ++i) {
            registry.addDevice(ptys[i].slavePath(), "", "ttyTEST" + std::to_string(i));
        }
        manager = std::make_unique<TestManager>();
        ports = *manager->availablePorts();
        for (const auto& port : ports) {
            port->setDelegate(&delegate);
        }
    }
    void TearDown() override {
        for (const auto& port : ports) {
            port->setDelegate(nullptr);
            port->close();
        }
        EXPECT_TRUE(waitFor([] { return BackgroundThreads::shared().running() == 0; }));
    }

    static speed_t deviceSpeed(const PseudoTerminalPair& pty) {
        termios attributes{};
        EXPECT_EQ(::tcgetattr(pty.slave(), &attributes), 0);
        return ::cfgetospeed(&attributes);
    }

    PrivateBus bus;
    TestDeviceRegistry registry;
    TestDeviceEvents events;
    std::array<PseudoTerminalPair, 3> ptys;
    RecordingDelegate delegate;
    std::unique_ptr<KESSerialPortManager> manager;
    PortList ports;
};

TEST_F(KESSerialPortManagerOnLogind, PortsCloseBeforeTheLockGoesAndReopenWithTheirSettings) {
    FakeLogin login(bus);
    LogindPowerEvents power(bus.connect("client"));
    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));
    ports[0]->setBaudRate(9600);
    ports[2]->setBaudRate(115200);
    ports[2]->open();
    ports[0]->open(); // ports[1] stays closed
    ASSERT_TRUE(waitFor([&] { return delegate.count("opened") == 2; }));
    delegate.events.clear();

    // Runs after the manager's own will-sleep handler, still inside the post.
    bool closedWhileLocked = false;
    Subscription whileLocked = NotificationCenter::defaultCenter().addObserverForName(
        PowerEvents::willSleepNotification, nullptr, [&](const Notification&) {
            closedWhileLocked = !ports[0]->isOpen() && !ports[2]->isOpen() &&
                                power.isHoldingLock() && !login.isReleased(0);
        });
    login.emitPrepareForSleep(true);
    ASSERT_TRUE(waitFor([&] { return login.isReleased(0); }));
    whileLocked.cancel();
    EXPECT_TRUE(closedWhileLocked) << "the machine could have slept with a port open";
    EXPECT_THAT(delegate.events, ElementsAre("closed", "closed"));
    EXPECT_EQ(manager->portsToReopenAfterSleep(), (PortList{ports[0], ports[2]}))
        << "in list order";

    delegate.events.clear();
    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return delegate.count("opened") == 2 && power.isHoldingLock(); }));
    EXPECT_THAT(manager->portsToReopenAfterSleep(), IsEmpty());
    EXPECT_TRUE(ports[0]->isOpen());
    EXPECT_FALSE(ports[1]->isOpen()) << "a port closed before sleep stays closed";
    EXPECT_TRUE(ports[2]->isOpen());
    EXPECT_EQ(deviceSpeed(ptys[0]), B9600);
    EXPECT_EQ(deviceSpeed(ptys[2]), B115200);
    EXPECT_EQ(login.heldLocks(), 1u);
}

TEST_F(KESSerialPortManagerOnLogind, APortWhoseDeviceWentDuringSleepIsReportedAndForgotten) {
    FakeLogin login(bus);
    LogindPowerEvents power(bus.connect("client"));
    ASSERT_TRUE(waitFor([&] { return power.isHoldingLock(); }));
    ports[0]->open();
    ports[1]->open();
    ASSERT_TRUE(waitFor([&] { return delegate.count("opened") == 2; }));
    login.emitPrepareForSleep(true);
    ASSERT_TRUE(waitFor([&] { return delegate.count("closed") == 2; }));
    ptys[0].closeMaster();

    login.emitPrepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return delegate.count("opened") == 3 && delegate.count("error"); }));
    EXPECT_THAT(manager->portsToReopenAfterSleep(), IsEmpty());
    EXPECT_FALSE(ports[0]->isOpen());
    EXPECT_TRUE(ports[1]->isOpen());
}

} // namespace
