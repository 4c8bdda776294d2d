#include "KESSerialPortManager.h"

#include "BackgroundThreads.h"
#include "KESSerialPort.h"
#include "KESSerialPortDelegate.h"
#include "PseudoTerminalPair.h"
#include "RecordingLog.h"
#include "TestDeviceEvents.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"
#include "TestPowerEvents.h"

#include <array>
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using PortList = KESSerialPortManager::PortList;
using Change = KESSerialPortManager::Change;

// Managers of the test's own, each with the device source the test installed.
class TestManager : public KESSerialPortManager {};

std::string names(const PortList& ports) {
    std::string text;
    for (const auto& port : ports) {
        text += (text.empty() ? "" : " ") + port->name();
    }
    return "[" + text + "]";
}

// Writes what every party hears into one journal, so the order across delegates, list observers
// and notification subscribers can be checked.
class Journal : public KESSerialPortDelegate {
public:
    void serialPortDidReceiveData(KESSerialPort&, const Bytes&) override {}
    void serialPortWasRemovedFromSystem(KESSerialPort& port) override {
        entries.push_back("removed " + port.name());
    }
    void serialPortDidEncounterError(KESSerialPort& port, const PosixError& error) override {
        entries.push_back("error " + port.name() + " " + std::to_string(error.code()));
    }
    void serialPortWasOpened(KESSerialPort& port) override {
        entries.push_back("opened " + port.name());
    }
    void serialPortWasClosed(KESSerialPort& port) override {
        entries.push_back("closed " + port.name());
    }

    void watch(KESSerialPortManager& manager) {
        watching = manager.addChangeObserver(
            "availablePorts", [this](std::string_view, const std::any& any) {
                const auto& change = std::any_cast<const Change&>(any);
                std::string indexes;
                for (std::size_t index : change.indexes) {
                    indexes += (indexes.empty() ? "" : " ") + std::to_string(index);
                }
                switch (change.kind) {
                case Change::Kind::insertion:
                    entries.push_back("inserted at [" + indexes + "] " + names(change.newValues));
                    break;
                case Change::Kind::removal:
                    entries.push_back("removed at [" + indexes + "] " + names(change.oldValues));
                    break;
                case Change::Kind::replacement:
                    entries.push_back("replaced " + names(change.oldValues) + " by " +
                                      (change.hasNew ? names(change.newValues) : "none"));
                    break;
                }
            });
    }

    std::vector<std::string> entries;
    Subscription watching;
};

class KESSerialPortManagerTest : public testing::Test {
protected:
    void SetUp() override {
        MainQueue::setShared(&queue);
        auto& center = NotificationCenter::defaultCenter();
        for (const char* name : {KESSerialPortsWereConnectedNotification,
                                 KESSerialPortsWereDisconnectedNotification}) {
            subscriptions.push_back(
                center.addObserverForName(name, nullptr, [this](const Notification& notification) {
                    const PortList* ports =
                        notification.userInfoValue<PortList>(KESConnectedSerialPortsKey);
                    const char* what = "connected ";
                    if (ports == nullptr) {
                        ports = notification.userInfoValue<PortList>(KESDisconnectedSerialPortsKey);
                        what = "disconnected ";
                    }
                    ASSERT_NE(ports, nullptr) << notification.name;
                    EXPECT_EQ(notification.userInfo.size(), 1u);
                    EXPECT_EQ(notification.object, manager.get());
                    journal.entries.push_back(what + names(*ports));
                }));
        }
    }

    void TearDown() override {
        subscriptions.clear();
        for (const auto& port : KESSerialPort::allSerialPorts()) {
            port->setDelegate(nullptr);
            port->close();
        }
        manager.reset();
        ASSERT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
        MainQueue::setShared(nullptr);
    }

    // Device i of the test: pseudo-terminal i, named ttyTESTi.
    DeviceHandle plugIn(std::size_t i) {
        return registry.addDevice(ptys[i].slavePath(), "", "ttyTEST" + std::to_string(i));
    }

    KESSerialPortManager& makeManager() {
        manager = std::make_unique<TestManager>();
        journal.watch(*manager);
        return *manager;
    }

    // A manager listing devices 0 to count-1, whose ports all report to the journal.
    PortList makeManagerWithJournalledPorts(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            plugIn(i);
        }
        makeManager();
        const PortList listed = *manager->availablePorts();
        for (const auto& port : listed) {
            port->setDelegate(&journal);
        }
        return listed;
    }

    void runUntil(const std::function<bool()>& condition) {
        ASSERT_TRUE(queue.runUntil(condition)) << "condition never held";
    }

    TestMainQueue queue;
    TestDeviceRegistry registry;
    TestDeviceEvents events;
    RecordingLog log;
    std::array<PseudoTerminalPair, 4> ptys;
    Journal journal;
    std::vector<Subscription> subscriptions;
    std::unique_ptr<KESSerialPortManager> manager;
};

TEST_F(KESSerialPortManagerTest, ListsThePortsPresentAtStartInOrderWithoutANotification) {
    const DeviceHandle first = plugIn(0);
    const DeviceHandle second = plugIn(1);
    KESSerialPortManager& ports = makeManager();
    ASSERT_TRUE(ports.availablePorts());
    EXPECT_EQ(names(*ports.availablePorts()), "[ttyTEST0 ttyTEST1]");
    EXPECT_EQ(ports.countOfAvailablePorts(), 2u);
    EXPECT_EQ(ports.objectInAvailablePortsAtIndex(1), KESSerialPort::serialPortWithDevice(second));
    EXPECT_EQ(ports.objectInAvailablePortsAtIndex(0)->baudRate(), 38400u) << "default settings";
    EXPECT_THAT(journal.entries, IsEmpty());
    EXPECT_THAT(ports.portsToReopenAfterSleep(), IsEmpty());
    EXPECT_EQ(events.subscriberCount(DeviceEvents::Kind::publish), 1u);
    EXPECT_EQ(events.subscriberCount(DeviceEvents::Kind::terminate), 1u);
}

TEST_F(KESSerialPortManagerTest, ArrivalsAreAppendedAndAnnouncedTogetherListFirst) {
    plugIn(0);
    makeManager();
    const DeviceHandle second = plugIn(1);
    const DeviceHandle third = plugIn(2);
    events.publish({second, third, second}); // a device reported twice is listed once
    EXPECT_THAT(journal.entries, ElementsAre("inserted at [1 2] [ttyTEST1 ttyTEST2]",
                                             "connected [ttyTEST1 ttyTEST2]"));
    EXPECT_EQ(names(*manager->availablePorts()), "[ttyTEST0 ttyTEST1 ttyTEST2]");
}

TEST_F(KESSerialPortManagerTest, TheArrivalOfAListedLivePortAddsNothingButIsStillAnnounced) {
    const DeviceHandle first = plugIn(0);
    makeManager();
    const auto listed = manager->objectInAvailablePortsAtIndex(0);
    events.publish({first});
    EXPECT_THAT(journal.entries, ElementsAre("connected []"));
    EXPECT_EQ(manager->availablePorts(), PortList{listed});
}

TEST_F(KESSerialPortManagerTest, ARemovalTellsTheDelegateThenTheListThenTheSubscribers) {
    const DeviceHandle first = plugIn(0);
    const DeviceHandle second = plugIn(1);
    makeManager();
    const auto port = manager->objectInAvailablePortsAtIndex(1);
    port->setDelegate(&journal);
    port->open();
    runUntil([&] { return journal.entries.size() == 1; });
    EXPECT_TRUE(port->isOpen());

    events.terminate({second});
    EXPECT_THAT(journal.entries,
                ElementsAre("opened ttyTEST1", "closed ttyTEST1", "removed ttyTEST1",
                            "removed at [1] [ttyTEST1]", "disconnected [ttyTEST1]"));
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(names(*manager->availablePorts()), "[ttyTEST0]");
}

TEST_F(KESSerialPortManagerTest, ARemovalOfAnUnlistedDeviceStillCleansUpAndNamesItsPort) {
    plugIn(0);
    makeManager();
    const DeviceHandle stranger = plugIn(3); // arrived unannounced: never listed
    const auto port = KESSerialPort::serialPortWithDevice(stranger);
    port->setDelegate(&journal);
    events.terminate({stranger});
    EXPECT_THAT(journal.entries, ElementsAre("removed ttyTEST3", "disconnected [ttyTEST3]"));
    EXPECT_EQ(names(*manager->availablePorts()), "[ttyTEST0]");
}

TEST_F(KESSerialPortManagerTest, AReplugGivesANewPortUnlessSomethingStillHoldsTheOldOne) {
    const DeviceHandle first = plugIn(0);
    makeManager();
    std::weak_ptr<KESSerialPort> old = manager->objectInAvailablePortsAtIndex(0);
    old.lock()->setBaudRate(9600);

    events.terminate({first});
    EXPECT_TRUE(old.expired()) << "the list held the last reference";
    events.publish({first});
    const auto fresh = manager->objectInAvailablePortsAtIndex(0);
    EXPECT_EQ(fresh->baudRate(), 38400u);

    fresh->setBaudRate(9600);
    manager->portsToReopenAfterSleep().push_back(fresh); // holds it across the unplug
    events.terminate({first});
    events.publish({first});
    EXPECT_EQ(manager->objectInAvailablePortsAtIndex(0), fresh);
    EXPECT_EQ(fresh->baudRate(), 9600u);
}

TEST_F(KESSerialPortManagerTest, ARefusedArrivalSubscriptionLeavesTheManagerBlindAndSilent) {
    plugIn(0);
    events.refuse(DeviceEvents::Kind::publish);
    makeManager();
    EXPECT_FALSE(manager->availablePorts());
    EXPECT_EQ(manager->countOfAvailablePorts(), 0u);
    EXPECT_EQ(events.subscriberCount(DeviceEvents::Kind::terminate), 0u);
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(KESSerialPortManagerTest, ARefusedRemovalSubscriptionStillFollowsArrivals) {
    const DeviceHandle first = plugIn(0);
    events.refuse(DeviceEvents::Kind::terminate);
    makeManager();
    const DeviceHandle second = plugIn(1);
    events.publish({second});
    events.terminate({first});
    EXPECT_EQ(names(*manager->availablePorts()), "[ttyTEST0 ttyTEST1]");
    EXPECT_THAT(journal.entries, ElementsAre("inserted at [1] [ttyTEST1]", "connected [ttyTEST1]"));
}

TEST_F(KESSerialPortManagerTest, ACallbackWithAForeignContextIsLoggedAndDropped) {
    makeManager();
    int stranger = 0;
    DeviceIterator iterator(nullptr);
    iterator.append({plugIn(0)});
    KESSerialPortManagerPortsPublishedNotificationCallback(&stranger, iterator);
    KESSerialPortManagerPortsTerminatedNotificationCallback(nullptr, iterator);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_THAT(log.lines()[0],
                testing::MatchesRegex("Unexpected context object 0x[0-9a-f]+ in void "
                                      "KESSerialPortManagerPortsPublishedNotificationCallback\\("
                                      "void \\*, io_iterator_t\\)\\. Context object should be an "
                                      "instance of KESSerialPortManager"));
    EXPECT_THAT(log.lines()[1], testing::HasSubstr("(nil) in void "
                                                   "KESSerialPortManagerPortsTerminated"));
    EXPECT_THAT(journal.entries, IsEmpty());
    KESSerialPortManagerPortsPublishedNotificationCallback(manager.get(), iterator);
    EXPECT_THAT(journal.entries, ElementsAre("inserted at [0] [ttyTEST0]", "connected [ttyTEST0]"));
}

TEST_F(KESSerialPortManagerTest, IndexedMutatorsAnnounceTheirIndexesAndRefuseBadOnes) {
    plugIn(0);
    plugIn(1);
    makeManager();
    const PortList start = *manager->availablePorts();
    const auto extra = KESSerialPort::serialPortWithDevice(plugIn(2));

    manager->insertObjectInAvailablePortsAtIndex(extra, 1);
    manager->removeAvailablePortsAtIndexes({0, 2});
    EXPECT_THROW(manager->removeObjectFromAvailablePortsAtIndex(1), std::out_of_range);
    EXPECT_THROW(manager->insertAvailablePortsAtIndexes({extra, extra}, {3, 1}),
                 std::invalid_argument);
    EXPECT_THROW(manager->insertObjectInAvailablePortsAtIndex(extra, 2), std::out_of_range);
    EXPECT_EQ(manager->availablePorts(), PortList{extra}) << "refused calls change nothing";
    manager->setAvailablePorts(PortList{extra}); // the list already held
    manager->setAvailablePorts(start);
    EXPECT_THAT(journal.entries,
                ElementsAre("inserted at [1] [ttyTEST2]", "removed at [0 2] [ttyTEST0 ttyTEST1]",
                            "replaced [ttyTEST2] by [ttyTEST0 ttyTEST1]"));
}

TEST_F(KESSerialPortManagerTest, TerminationCleansUpEveryListedPortAndLeavesNoList) {
    const PortList listed = makeManagerWithJournalledPorts(2);
    listed[0]->open();
    runUntil([&] { return listed[0]->isOpen() && journal.entries.size() == 1; });

    NotificationCenter::defaultCenter().postNotificationName(
        NotificationCenter::applicationWillTerminateNotification, nullptr);
    EXPECT_THAT(journal.entries,
                ElementsAre("opened ttyTEST0", "closed ttyTEST0", "removed ttyTEST0",
                            "removed ttyTEST1", "replaced [ttyTEST0 ttyTEST1] by none"));
    EXPECT_FALSE(manager->availablePorts());
    EXPECT_FALSE(listed[0]->isOpen());
    EXPECT_EQ(events.subscriberCount(DeviceEvents::Kind::publish), 0u)
        << "nothing is listed again while quitting";
}

TEST_F(KESSerialPortManagerTest, TearDownLeavesNoSubscriptionBehind) {
    const std::size_t before = NotificationCenter::defaultCenter().observerCount();
    makeManager();
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(), before + 3);
    manager.reset();
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(), before);
    EXPECT_EQ(events.subscriberCount(DeviceEvents::Kind::publish), 0u);
    EXPECT_EQ(events.subscriberCount(DeviceEvents::Kind::terminate), 0u);
}

TEST_F(KESSerialPortManagerTest, SleepClosesOpenListedPortsInOrderAndWakeReopensThem) {
    for (std::size_t i = 0; i < 3; ++i) {
        plugIn(i);
    }
    makeManager();
    const PortList listed = *manager->availablePorts();
    PseudoTerminalPair unlistedPty;
    const auto unlisted = KESSerialPort::serialPortWithKnownPath(unlistedPty.slavePath(), "other");
    listed[0]->setBaudRate(9600);
    listed[2]->setBaudRate(57600);
    for (const auto& port : {listed[2], listed[0], unlisted}) {
        port->setDelegate(&journal);
        port->open();
    }
    listed[1]->setDelegate(&journal); // stays closed
    runUntil([&] { return journal.entries.size() == 3; });
    journal.entries.clear();

    TestPowerEvents power;
    power.fireWillSleep();
    EXPECT_THAT(journal.entries, ElementsAre("closed ttyTEST0", "closed ttyTEST2"));
    EXPECT_EQ(manager->portsToReopenAfterSleep(), (PortList{listed[0], listed[2]}));
    EXPECT_TRUE(unlisted->isOpen()) << "a port the manager does not list is left alone";

    journal.entries.clear();
    power.fireDidWake();
    EXPECT_THAT(manager->portsToReopenAfterSleep(), IsEmpty());
    runUntil([&] { return journal.entries.size() == 2; });
    EXPECT_THAT(journal.entries, ElementsAre("opened ttyTEST0", "opened ttyTEST2"));
    EXPECT_FALSE(listed[1]->isOpen());
    EXPECT_EQ(listed[0]->baudRate(), 9600u);
    EXPECT_EQ(listed[2]->baudRate(), 57600u);
    speed_t speed = 0;
    termios attributes{};
    ASSERT_EQ(::tcgetattr(ptys[2].slave(), &attributes), 0);
    speed = ::cfgetospeed(&attributes);
    EXPECT_EQ(speed, B57600) << "the reopened device runs at the port's own rate again";

    journal.entries.clear();
    power.fireDidWake(); // nothing is waiting
    queue.drain();
    EXPECT_THAT(journal.entries, IsEmpty());
}

TEST_F(KESSerialPortManagerTest, APortThatCannotBeReopenedIsReportedAndForgotten) {
    const PortList listed = makeManagerWithJournalledPorts(2);
    for (const auto& port : listed) {
        port->open();
    }
    runUntil([&] { return journal.entries.size() == 2; });
    TestPowerEvents power;
    power.fireWillSleep();
    ptys[0].closeMaster(); // the device vanished while the machine slept
    journal.entries.clear();

    power.fireDidWake();
    EXPECT_THAT(manager->portsToReopenAfterSleep(), IsEmpty());
    runUntil([&] { return journal.entries.size() == 2; });
    EXPECT_THAT(journal.entries[0], testing::StartsWith("error ttyTEST0 "));
    EXPECT_EQ(journal.entries[1], "opened ttyTEST1");
    EXPECT_FALSE(listed[0]->isOpen());
}

// Run in a child process: the shared manager lives for the rest of the process. Several threads
// ask for it at once; all must get the one manager, enumerated once.
[[noreturn]] void askForTheSharedManagerFromManyThreads() {
    TestDeviceRegistry registry;
    TestDeviceEvents events;
    PseudoTerminalPair pty;
    registry.addDevice(pty.slavePath(), "", "ttyTEST0");
    std::array<KESSerialPortManager*, 8> seen{};
    std::vector<std::thread> threads;
    for (auto& slot : seen) {
        threads.emplace_back([&slot] { slot = &KESSerialPortManager::sharedSerialPortManager(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const bool same =
        std::all_of(seen.begin(), seen.end(), [&](auto* manager) { return manager == seen[0]; });
    const bool once = events.subscriberCount(DeviceEvents::Kind::publish) == 1 &&
                      seen[0]->countOfAvailablePorts() == 1;
    std::exit(same && once ? 0 : 1);
}

TEST(KESSerialPortManagerShared, IsMadeOnceEvenWhenManyThreadsAskFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(askForTheSharedManagerFromManyThreads(), testing::ExitedWithCode(0), "");
}

} // namespace
