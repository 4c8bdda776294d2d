// Many openings and closings of a port on a real pseudo-terminal, and many unplug/replug cycles
// of a listed device through the port manager: descriptors, threads and resident memory end
// where they started.

#include "BackgroundThreads.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "PortFixture.h"
#include "SoakSize.h"
#include "TestDeviceEvents.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

class TestManager : public KESSerialPortManager {};

class PortCycleSoak : public PortFixture {
protected:
    // Runs cycles of body; after a tenth of them (the warm-up) takes the process's resources and
    // expects them back at the end.
    void soak(std::uint64_t cycles, const std::function<void()>& body) {
        const std::uint64_t warmUp = std::max<std::uint64_t>(cycles / 10, 10);
        for (std::uint64_t i = 0; i < warmUp && !HasFatalFailure(); ++i) {
            body();
        }
        const Soak::Resources before = Soak::resources();
        for (std::uint64_t i = 0; i < cycles && !HasFatalFailure(); ++i) {
            body();
        }
        ASSERT_FALSE(HasFatalFailure());
        Soak::expectNothingLeft(before, Soak::resources(), cycles, "cycles");
    }

    void forget() {
        delegate.events.clear();
        delegate.deliveries.clear();
        delegate.errors.clear();
    }
};

TEST_F(PortCycleSoak, OpenAndCloseLeaveNothingBehind) {
    const Bytes ping{0x55};
    soak(Soak::scaled(10'000, 200), [&] {
        port->open();
        ASSERT_TRUE(port->isOpen());
        // A byte each way, so that each opening's reader and writer really run.
        pty.write(ping);
        ASSERT_TRUE(port->sendData(ping));
        ASSERT_EQ(pty.read(1), ping);
        runUntil([&] { return delegate.count("data") == 1; });
        ASSERT_TRUE(port->close());
        waitForThreads(0);
        queue.drain();
        ASSERT_EQ(delegate.count("opened"), 1u);
        ASSERT_EQ(delegate.count("closed"), 1u);
        ASSERT_TRUE(delegate.errors.empty());
        forget();
    });
}

TEST_F(PortCycleSoak, UnplugAndReplugThroughTheManagerLeaveNothingBehind) {
    port->setDelegate(nullptr);
    port.reset(); // the manager makes the ports from here on
    TestDeviceEvents events;
    {
        TestManager manager;
        ASSERT_EQ(manager.countOfAvailablePorts(), 1u);
        soak(Soak::scaled(1'000, 50), [&] {
            std::shared_ptr<KESSerialPort> listed = manager.objectInAvailablePortsAtIndex(0);
            listed->setDelegate(&delegate);
            listed->open();
            runUntil([&] { return delegate.count("opened") == 1; });
            // The device goes: the open port is closed and dropped from the list.
            events.terminate({device});
            runUntil([&] { return BackgroundThreads::shared().running() == 0; });
            ASSERT_EQ(manager.countOfAvailablePorts(), 0u);
            ASSERT_FALSE(listed->isOpen());
            ASSERT_EQ(delegate.count("removed"), 1u);
            listed->setDelegate(nullptr);
            const std::weak_ptr<KESSerialPort> gone = listed;
            listed.reset();
            ASSERT_TRUE(gone.expired()) << "nothing holds the port of a device that went";
            // And comes back as a new port.
            events.publish({device});
            ASSERT_EQ(manager.countOfAvailablePorts(), 1u);
            queue.drain();
            forget();
        });
    }
    queue.drain();
}

} // namespace
