// Unplug and replug as the kernel announces them: ttyS0 announced gone and back, many times,
// through the libudev monitor into the port manager. Descriptors, threads and resident memory
// end where they started.

#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "KernelUevents.h"
#include "QtMainQueue.h"
#include "SoakSize.h"
#include "UdevDeviceEvents.h"

#include <QCoreApplication>
#include <QtCore/qtestsupport_core.h>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

class TestManager : public KESSerialPortManager {};

bool lists(const KESSerialPortManager& manager, const std::string& name) {
    const auto ports = manager.availablePorts().value_or(KESSerialPortManager::PortList{});
    return std::any_of(ports.begin(), ports.end(),
                       [&](const auto& port) { return port->name() == name; });
}

TEST(UeventReplugSoak, TheKernelsRemoveAndAddLeaveNothingBehind) {
    if (const std::string reason = KernelUevents::whyTtyS0IsUnusable(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    QtMainQueue queue(*QCoreApplication::instance());
    MainQueue::setShared(&queue);
    UdevDeviceEvents devices;
    DeviceEvents* replaced = DeviceEvents::install(&devices);
    {
        TestManager manager;
        ASSERT_TRUE(lists(manager, "ttyS0"));
        const auto cycle = [&] {
            KernelUevents::announceTtyS0("remove");
            ASSERT_TRUE(QTest::qWaitFor([&] { return !lists(manager, "ttyS0"); }, 20000));
            ASSERT_TRUE(KESSerialPort::existingPortWithPath("/dev/ttyS0") == nullptr)
                << "nothing holds the port of a device that went";
            KernelUevents::announceTtyS0("add");
            ASSERT_TRUE(QTest::qWaitFor([&] { return lists(manager, "ttyS0"); }, 20000));
        };
        const std::uint64_t cycles = Soak::scaled(1'000, 50);
        for (std::uint64_t i = 0; i < cycles / 10 && !testing::Test::HasFatalFailure(); ++i) {
            cycle();
        }
        const Soak::Resources before = Soak::resources();
        for (std::uint64_t i = 0; i < cycles && !testing::Test::HasFatalFailure(); ++i) {
            cycle();
        }
        ASSERT_FALSE(testing::Test::HasFatalFailure());
        Soak::expectNothingLeft(before, Soak::resources(), cycles, "kernel replugs");
    }
    DeviceEvents::install(replaced);
    MainQueue::setShared(nullptr);
}

} // namespace
