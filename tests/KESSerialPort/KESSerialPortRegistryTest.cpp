#include "KESSerialPort.h"
#include "PortFixture.h"

#include <fstream>
#include <gmock/gmock.h>
#include <stdexcept>

namespace {

using KESSerialPortRegistry = PortFixture;

TEST_F(KESSerialPortRegistry, OneObjectPerDeviceWhateverPathFindsIt) {
    port->setBaudRate(9600);
    EXPECT_EQ(KESSerialPort::serialPortWithPath(pty.slavePath()), port);
    EXPECT_EQ(KESSerialPort::serialPortWithDevice(device), port);
    EXPECT_EQ(KESSerialPort::serialPortWithKnownPath(pty.slavePath(), "other"), port);
    const auto viaDialin = KESSerialPort::serialPortWithPath(dialinPath());
    EXPECT_EQ(viaDialin, port);
    EXPECT_EQ(viaDialin->path(), pty.slavePath()) << "keyed by the callout path";
    EXPECT_EQ(port->baudRate(), 9600u) << "the existing object is returned unchanged";
    EXPECT_EQ(port->name(), "ttyTEST0");
    EXPECT_EQ(port->description(), "ttyTEST0");
    EXPECT_EQ(KESSerialPort::allSerialPorts(), std::vector{port});
}

TEST_F(KESSerialPortRegistry, PathsNoDeviceHasGiveNoPort) {
    EXPECT_EQ(KESSerialPort::serialPortWithPath(""), nullptr);
    EXPECT_EQ(KESSerialPort::serialPortWithPath("/dev/no-such-tty"), nullptr);
    EXPECT_EQ(KESSerialPort::deviceFromBSDPath("/dev/no-such-tty"), nullptr);
    const std::string file = testing::TempDir() + "not-a-terminal";
    std::ofstream(file) << "x";
    EXPECT_EQ(KESSerialPort::serialPortWithKnownPath(file, "file"), nullptr);
    EXPECT_EQ(KESSerialPort::allSerialPorts().size(), 1u);
}

TEST_F(KESSerialPortRegistry, ANullDeviceIsAProgrammingError) {
    try {
        KESSerialPort::serialPortWithDevice(nullptr);
        ADD_FAILURE() << "no failure raised";
    } catch (const std::logic_error& failure) {
        EXPECT_STREQ(failure.what(),
                     "KESSerialPort::serialPortWithDevice requires non-zero device argument.");
    }
}

TEST_F(KESSerialPortRegistry, AnUnlistedTerminalGetsOnePortThroughTheKnownPathFactory) {
    PseudoTerminalPair other;
    const auto simulated = KESSerialPort::serialPortWithKnownPath(other.slavePath(), "board");
    ASSERT_NE(simulated, nullptr);
    EXPECT_EQ(simulated->name(), "board");
    EXPECT_EQ(simulated->IOKitDevice(), nullptr);
    EXPECT_EQ(simulated->baudRate(), 38400u);
    EXPECT_EQ(KESSerialPort::serialPortWithKnownPath(other.slavePath(), "again"), simulated);
    EXPECT_EQ(KESSerialPort::serialPortWithPath(other.slavePath()), nullptr)
        << "the registry does not list it";
}

TEST_F(KESSerialPortRegistry, EqualityAndHashFollowThePath) {
    PseudoTerminalPair other;
    const auto second = KESSerialPort::serialPortWithKnownPath(other.slavePath(), "second");
    EXPECT_FALSE(*second == *port);
    second->setPath(port->path());
    EXPECT_TRUE(*second == *port);
    EXPECT_EQ(std::hash<KESSerialPort>{}(*second), std::hash<KESSerialPort>{}(*port));
    second->setPath("");
    EXPECT_FALSE(*second == *second) << "a port without a path equals nothing";
}

TEST_F(KESSerialPortRegistry, ALastReleaseRemovesThePortAndANewOneStartsFresh) {
    port->setBaudRate(9600);
    KESSerialPort::removeSerialPort(nullptr); // not listed: nothing changes
    port.reset();
    EXPECT_EQ(KESSerialPort::existingPortWithPath(pty.slavePath()), nullptr);
    EXPECT_TRUE(KESSerialPort::allSerialPorts().empty());

    port = KESSerialPort::serialPortWithPath(pty.slavePath());
    EXPECT_EQ(port->baudRate(), 38400u);
    EXPECT_EQ(port->delegate(), nullptr);
}

TEST_F(KESSerialPortRegistry, DeviceReadersGiveTheRegistryProperties) {
    EXPECT_EQ(KESSerialPort::bsdCalloutPathFromDevice(device), pty.slavePath());
    EXPECT_EQ(KESSerialPort::bsdDialinPathFromDevice(device), dialinPath());
    EXPECT_EQ(KESSerialPort::modemNameFromDevice(device), "ttyTEST0");
    EXPECT_EQ(KESSerialPort::stringPropertyOfForIOSerialKey(device, "NoSuchKey"), std::nullopt);
    EXPECT_EQ(port->IOKitDevice(), device);
}

} // namespace
