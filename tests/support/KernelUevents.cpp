#include "KernelUevents.h"

#include "UdevDeviceRegistry.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace KernelUevents {

std::string whyTtyS0IsUnusable() {
    if (::geteuid() != 0) {
        return "writing a uevent file needs root";
    }
    if (::access("/run/udev/control", F_OK) == 0) {
        return "a udev daemon runs here and would act on a fake removal";
    }
    UdevDeviceRegistry registry;
    if (!UdevDeviceRegistry::isRealSerialDevice(
            UdevDevice::fromSyspath(registry.context(), "/sys/class/tty/ttyS0"))) {
        return "this machine has no real ttyS0";
    }
    return {};
}

void announceTtyS0(const char* action) {
    const int fd = ::open("/sys/class/tty/ttyS0/uevent", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const auto length = static_cast<ssize_t>(std::strlen(action));
    EXPECT_EQ(::write(fd, action, static_cast<std::size_t>(length)), length)
        << std::strerror(errno);
    ::close(fd);
}

} // namespace KernelUevents
