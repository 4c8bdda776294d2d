#pragma once

#include "DeviceRegistry.h"
#include "UdevDevice.h"

struct udev;

// The machine's serial devices, from libudev (subsystem "tty").
//
// Real devices only: a tty with no parent device is virtual (consoles, pseudo-terminals), and a
// serial-core port whose "type" attribute is 0 has no hardware behind it. Callout path = the
// device node; dial-in path = its stable /dev/serial/by-id link where one exists; name = the
// kernel name. Main thread only.
class UdevDeviceRegistry : public DeviceRegistry {
public:
    UdevDeviceRegistry();
    ~UdevDeviceRegistry() override;
    UdevDeviceRegistry(const UdevDeviceRegistry&) = delete;
    UdevDeviceRegistry& operator=(const UdevDeviceRegistry&) = delete;

    std::vector<DeviceHandle> serialDevices() override;

    // The library context, for a monitor that wants to share it.
    udev* context() const { return context_; }

    static bool isRealSerialDevice(const UdevDevice& device);
    // The same decision on what was read of the device: whether it has a device node, whether it
    // has a parent device, and its "type" attribute if it has one.
    static bool isRealSerialDevice(bool hasDevnode, bool hasParent,
                                   const std::optional<std::string>& type);
    // Reads everything the program wants of the device now, while its sysfs entry exists.
    static DeviceHandle describe(const UdevDevice& device);

private:
    udev* context_;
};
