#pragma once

#include <string>

// Real hot-plug events without hardware: writing "add" or "remove" into a device's sysfs uevent
// file makes the kernel announce it again (the device itself stays). Only for machines where no
// udev daemon would act on such a fake removal, and only as root.
namespace KernelUevents {

// Why ttyS0 cannot be used for fake hot-plug here; empty when it can.
std::string whyTtyS0IsUnusable();
// Makes the kernel announce action ("add", "remove") for ttyS0; fails the test if it cannot.
void announceTtyS0(const char* action);

} // namespace KernelUevents
