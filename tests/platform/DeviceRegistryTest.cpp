#include "PosixError.h"
#include "SystemLog.h"
#include "UdevDeviceRegistry.h"

#include <cerrno>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <sys/stat.h>

using testing::HasSubstr;
using testing::MatchesRegex;

namespace {

TEST(UdevDeviceRegistry, ListsOnlyRealSerialDevicesWithTheirIdentity) {
    UdevDeviceRegistry registry;
    for (const DeviceHandle& device : registry.serialDevices()) {
        const std::string node = device->property(SerialDevice::calloutDeviceKey).value_or("");
        const std::string name = device->property(SerialDevice::ttyDeviceKey).value_or("");
        SCOPED_TRACE(node);
        EXPECT_EQ(node, "/dev/" + name);
        struct stat status {};
        EXPECT_EQ(::stat(node.c_str(), &status), 0);
        EXPECT_TRUE(S_ISCHR(status.st_mode));
        EXPECT_EQ(name.rfind("pts", 0), std::string::npos) << "pseudo-terminals are virtual";
        EXPECT_THAT(name, testing::Not(MatchesRegex("tty[0-9]+"))) << "consoles are virtual";
        EXPECT_EQ(device->property(SerialDevice::ttyBaseNameKey).value_or("") +
                      device->property(SerialDevice::ttySuffixKey).value_or(""),
                  name);
    }
}

TEST(UdevDeviceRegistry, TheFilterRejectsVirtualTerminalsAndPortsWithoutHardware) {
    UdevDeviceRegistry registry;
    udev* context = registry.context();
    ASSERT_NE(context, nullptr);
    const UdevDevice console = UdevDevice::fromSyspath(context, "/sys/class/tty/tty1");
    if (console) {
        EXPECT_FALSE(UdevDeviceRegistry::isRealSerialDevice(console));
    }
    // Serial-core ports: those reporting type 0 have no UART behind them.
    for (int index = 0; index < 32; ++index) {
        const std::string syspath = "/sys/class/tty/ttyS" + std::to_string(index);
        const UdevDevice port = UdevDevice::fromSyspath(context, syspath.c_str());
        if (!port) {
            continue;
        }
        const bool hasHardware = port.sysattr("type").value_or("0") != "0";
        EXPECT_EQ(UdevDeviceRegistry::isRealSerialDevice(port), hasHardware) << syspath;
    }
    EXPECT_FALSE(UdevDeviceRegistry::isRealSerialDevice(UdevDevice()));
}

// The cases a build machine may lack, on what would be read of sysfs.
TEST(UdevDeviceRegistry, TheFilterDecidesOnNodeParentAndTypeAttribute) {
    using std::nullopt;
    // USB adapters (ttyUSB, ttyACM) have a parent and no "type" attribute.
    EXPECT_TRUE(UdevDeviceRegistry::isRealSerialDevice(true, true, nullopt));
    // Consoles and pseudo-terminals have no parent; a device without a node cannot be opened.
    EXPECT_FALSE(UdevDeviceRegistry::isRealSerialDevice(true, false, nullopt));
    EXPECT_FALSE(UdevDeviceRegistry::isRealSerialDevice(false, true, nullopt));
    // Serial-core ports: type 0 is "no UART"; any other type is hardware (4 = 16550A).
    EXPECT_FALSE(UdevDeviceRegistry::isRealSerialDevice(true, true, "0"));
    EXPECT_FALSE(UdevDeviceRegistry::isRealSerialDevice(true, true, "0\n"));
    EXPECT_TRUE(UdevDeviceRegistry::isRealSerialDevice(true, true, "4"));
    EXPECT_FALSE(UdevDeviceRegistry::isRealSerialDevice(true, false, "4"));
}

TEST(UdevDevice, CopiesShareOneCountedReference) {
    UdevDeviceRegistry registry;
    UdevDevice original = UdevDevice::fromSyspath(registry.context(), "/sys/class/tty/tty");
    ASSERT_TRUE(original);
    udev_device* raw = original.get();
    {
        UdevDevice copy = original;
        EXPECT_EQ(copy.get(), raw);
        UdevDevice moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(moved.sysname(), "tty");
    }
    EXPECT_EQ(original.sysname(), "tty") << "the copies gave back only their own references";
}

TEST(PosixError, CarriesDomainCodeTextAndPath) {
    const PosixError error(EACCES, "/dev/ttyUSB0");
    EXPECT_EQ(error.domain(), "POSIX");
    EXPECT_EQ(error.code(), EACCES);
    EXPECT_EQ(error.localizedDescription(), "Permission denied");
    EXPECT_EQ(error.filePath(), "/dev/ttyUSB0");
}

TEST(SystemLog, StampsEachLineWithTimeAndProgram) {
    EXPECT_THAT(SystemLog::stamped("Ports were connected: ttyUSB0"),
                MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\\.[0-9]{3} .+\\[[0-9]+\\] "
                             "Ports were connected: ttyUSB0"));
}

} // namespace
