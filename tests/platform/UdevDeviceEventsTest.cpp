#include "UdevDeviceEvents.h"

#include "KernelUevents.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qtestsupport_core.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using Kind = DeviceEvents::Kind;
using testing::ElementsAre;

namespace {

constexpr int waitMs = 10000;

DeviceHandle device(const std::string& name) {
    return std::make_shared<SerialDevice>(SerialDevice::Properties{
        {"DEVPATH", "/devices/test/tty/" + name}, {SerialDevice::ttyDeviceKey, name}});
}

std::string nameOf(const DeviceHandle& device) {
    return device->property(SerialDevice::ttyDeviceKey).value_or("?");
}

std::vector<std::string> names(const std::vector<DeviceHandle>& devices) {
    std::vector<std::string> result;
    std::ranges::transform(devices, std::back_inserter(result), nameOf);
    return result;
}

std::vector<DeviceHandle> drain(DeviceIterator& iterator) {
    std::vector<DeviceHandle> devices;
    while (DeviceHandle device = iterator.next()) {
        devices.push_back(device);
    }
    return devices;
}

// The handler calls of a test, in order, keeping only ttyS0: other devices may come and go.
struct Call {
    Kind kind;
    std::vector<DeviceHandle> devices;
};

struct Recorder {
    std::vector<Call> calls;

    DeviceIterator::Handler handler(Kind kind) {
        return [this, kind](DeviceIterator& iterator) {
            Call call{kind, {}};
            std::ranges::copy_if(drain(iterator), std::back_inserter(call.devices),
                                 [](const DeviceHandle& d) { return nameOf(d) == "ttyS0"; });
            if (!call.devices.empty()) {
                calls.push_back(std::move(call));
            }
        };
    }
    std::size_t count(Kind kind) const {
        std::size_t total = 0;
        for (const Call& call : calls) {
            total += call.kind == kind ? call.devices.size() : 0;
        }
        return total;
    }
};

std::size_t openDescriptors() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

// Makes the kernel announce ttyS0 again by writing to its uevent file. A "remove" written there
// leaves the device in place, but a udev daemon would act on it: these tests run only where the
// kernel's own events are followed.
class UdevDeviceEventsHotPlug : public testing::Test {
protected:
    void SetUp() override {
        UdevDeviceRegistry registry;
        if (::geteuid() != 0) {
            GTEST_SKIP() << "writing a uevent file needs root";
        } else if (events.following() != UdevDeviceEvents::Following::kernel) {
            GTEST_SKIP() << "a udev daemon runs (or no monitor): no fake removals here";
        } else if (!UdevDeviceRegistry::isRealSerialDevice(
                       UdevDevice::fromSyspath(registry.context(), "/sys/class/tty/ttyS0"))) {
            GTEST_SKIP() << "this machine has no real ttyS0";
        }
    }
    // Subscribes the recorder to both kinds; returns the devices listed at subscription.
    std::vector<DeviceHandle> subscribe() {
        publish = events.addMatchingNotification(Kind::publish, recorder.handler(Kind::publish));
        terminate =
            events.addMatchingNotification(Kind::terminate, recorder.handler(Kind::terminate));
        return drain(*publish);
    }

    UdevDeviceEvents events;
    Recorder recorder;
    std::shared_ptr<DeviceIterator> publish, terminate;
};

TEST(UdevDeviceEvents, GroupsConsecutiveChangesOfOneKindInOrder) {
    const DeviceHandle a = device("A"), b = device("B"), c = device("C"), d = device("D");
    const auto batches = UdevDeviceEvents::batches(
        {{Kind::publish, a}, {Kind::publish, b}, {Kind::terminate, c}, {Kind::publish, d}});
    ASSERT_EQ(batches.size(), 3u);
    EXPECT_EQ(batches[0].kind, Kind::publish);
    EXPECT_THAT(batches[0].devices, ElementsAre(a, b));
    EXPECT_EQ(batches[1].kind, Kind::terminate);
    EXPECT_THAT(batches[1].devices, ElementsAre(c));
    EXPECT_EQ(batches[2].kind, Kind::publish);
    EXPECT_THAT(batches[2].devices, ElementsAre(d));

    EXPECT_TRUE(UdevDeviceEvents::batches({}).empty());
    const auto removals = UdevDeviceEvents::batches({{Kind::terminate, a}, {Kind::terminate, a}});
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_THAT(removals[0].devices, ElementsAre(a, a));
}

TEST(UdevDeviceEvents, ARescanReportsTheDifferenceByDevicePath) {
    const DeviceHandle a = device("A"), b = device("B"), c = device("C"), d = device("D");
    const UdevDeviceEvents::Known known{{"/devices/test/tty/A", a}, {"/devices/test/tty/B", b}};
    // B is listed again with a new description: still the same device, nothing to report.
    const auto changes = UdevDeviceEvents::rescanChanges(known, {c, device("B"), d});
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].kind, Kind::terminate);
    EXPECT_EQ(changes[0].device, a) << "a removal carries the remembered description";
    EXPECT_EQ(changes[1].kind, Kind::publish);
    EXPECT_EQ(changes[1].device, c);
    EXPECT_EQ(changes[2].kind, Kind::publish);
    EXPECT_EQ(changes[2].device, d);
    EXPECT_TRUE(UdevDeviceEvents::rescanChanges(known, {a, b}).empty());
}

TEST(UdevDeviceEvents, APublishSubscriptionListsOnlyTheRealSerialDevicesPresent) {
    UdevDeviceEvents events;
    Recorder recorder;
    const auto publish =
        events.addMatchingNotification(Kind::publish, recorder.handler(Kind::publish));
    const auto terminate =
        events.addMatchingNotification(Kind::terminate, recorder.handler(Kind::terminate));
    ASSERT_TRUE(publish && terminate);
    EXPECT_TRUE(recorder.calls.empty()) << "no handler runs inside addMatchingNotification";
    EXPECT_EQ(terminate->next(), nullptr);

    const std::vector<DeviceHandle> present = drain(*publish);
    UdevDeviceRegistry registry;
    EXPECT_EQ(names(present), names(registry.serialDevices()));
    for (const DeviceHandle& listed : present) {
        const std::string name = nameOf(listed);
        const std::string node = listed->property(SerialDevice::calloutDeviceKey).value_or("");
        SCOPED_TRACE(name);
        struct stat status {};
        EXPECT_EQ(::stat(node.c_str(), &status), 0);
        EXPECT_TRUE(S_ISCHR(status.st_mode));
        EXPECT_EQ(name.rfind("pts", 0), std::string::npos);
        EXPECT_FALSE(std::regex_match(name, std::regex("tty[0-9]+"))) << "consoles are virtual";
        if (name.rfind("ttyS", 0) == 0) {
            std::ifstream type("/sys/class/tty/" + name + "/type");
            int value = 0;
            EXPECT_TRUE(type >> value && value != 0) << "a serial-core port without hardware";
        }
        EXPECT_EQ(UdevDeviceEvents::devpath(*listed).rfind("/devices/", 0), 0u)
            << "the key a removal is matched by";
    }
}

TEST_F(UdevDeviceEventsHotPlug, AKernelRemoveAndAddOfTtyS0ReachTheSubscribers) {
    const auto present = subscribe();
    const auto listed = std::ranges::find(present, std::string("ttyS0"), nameOf);
    ASSERT_NE(listed, present.end());

    KernelUevents::announceTtyS0("remove");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.count(Kind::terminate) == 1; }, waitMs));
    KernelUevents::announceTtyS0("add");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.count(Kind::publish) == 1; }, waitMs));

    const auto& calls = recorder.calls;
    ASSERT_EQ(calls.size(), 2u);
    const DeviceHandle removed = calls[0].devices.at(0);
    EXPECT_EQ(calls[0].kind, Kind::terminate);
    EXPECT_EQ(removed->properties(), (*listed)->properties())
        << "a removal is described as the device was listed, not as the remove event tells";
    const DeviceHandle added = calls[1].devices.at(0);
    EXPECT_EQ(calls[1].kind, Kind::publish);
    EXPECT_EQ(added->property("ACTION"), "add") << "read from the add event";
    EXPECT_EQ(added->property(SerialDevice::calloutDeviceKey), "/dev/ttyS0");
}

TEST_F(UdevDeviceEventsHotPlug, EventsPendingTogetherAreReportedInOnePassOfGroupedBatches) {
    subscribe();

    // The kernel queues each event on the monitor's socket before write returns; the event loop
    // has not run in between, so one readable notification finds all four.
    for (const char* action : {"add", "add", "remove", "add"}) {
        KernelUevents::announceTtyS0(action);
    }
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return recorder.count(Kind::publish) == 3 && recorder.count(Kind::terminate) == 1; },
        waitMs));

    const auto& calls = recorder.calls;
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, Kind::publish);
    ASSERT_EQ(calls[0].devices.size(), 2u) << "both adds in one batch: a re-add is still reported";
    EXPECT_EQ(calls[1].kind, Kind::terminate);
    EXPECT_EQ(calls[1].devices, std::vector{calls[0].devices[1]})
        << "the removal carries the description of the latest add";
    EXPECT_EQ(calls[2].kind, Kind::publish);
    EXPECT_EQ(calls[2].devices.size(), 1u);
}

// A burst that overflows the monitor's socket (as on resume) drops events: here the add that
// brings ttyS0 back. The source notices and rescans, so the arrival is still reported.
TEST_F(UdevDeviceEventsHotPlug, EventsLostToAnOverflowAreMadeGoodByARescan) {
    subscribe();
    KernelUevents::announceTtyS0("remove");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.count(Kind::terminate) == 1; }, waitMs));

    ASSERT_TRUE(events.setReceiveBufferSize(1)) << "the smallest buffer the kernel allows";
    for (int i = 0; i < 200; ++i) {
        KernelUevents::announceTtyS0("change"); // ignored, but they fill the socket
    }
    KernelUevents::announceTtyS0("add"); // no room left for it
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.count(Kind::publish) == 1; }, waitMs));
    EXPECT_EQ(recorder.calls.back().devices.at(0)->property(SerialDevice::calloutDeviceKey),
              "/dev/ttyS0");
}

TEST_F(UdevDeviceEventsHotPlug, ASubscriptionReleasedByItsHolderGetsNoMoreCalls) {
    Recorder early, released, kept;
    std::shared_ptr<DeviceIterator> second;
    // The first handler lets go of the second subscription in the middle of the delivery.
    const auto first = events.addMatchingNotification(Kind::publish, [&](DeviceIterator& iterator) {
        drain(iterator);
        second.reset();
    });
    auto gone = events.addMatchingNotification(Kind::publish, early.handler(Kind::publish));
    second = events.addMatchingNotification(Kind::publish, released.handler(Kind::publish));
    const auto third = events.addMatchingNotification(Kind::publish, kept.handler(Kind::publish));
    drain(*third);
    gone.reset();

    KernelUevents::announceTtyS0("add");
    ASSERT_TRUE(QTest::qWaitFor([&] { return kept.count(Kind::publish) == 1; }, waitMs));
    EXPECT_TRUE(early.calls.empty());
    EXPECT_TRUE(released.calls.empty());
    EXPECT_EQ(second, nullptr);
}

TEST(UdevDeviceEvents, ADestroyedSourceLeavesNoDescriptorsOpenAndIteratorsUsable) {
    const std::size_t before = openDescriptors();
    std::shared_ptr<DeviceIterator> outliving;
    {
        UdevDeviceEvents events;
        outliving = events.addMatchingNotification(Kind::publish, [](DeviceIterator&) {});
        events.addMatchingNotification(Kind::terminate, [](DeviceIterator&) {});
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(openDescriptors(), before);
    drain(*outliving);
    EXPECT_EQ(outliving->next(), nullptr);
}

} // namespace
