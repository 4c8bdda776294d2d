#pragma once

#include "SerialDevice.h"

#include <vector>

// The machine's list of serial devices.
//
// Main thread only: the production registry's library objects belong to the thread that made
// them. The program installs a UdevDeviceRegistry; tests install a TestDeviceRegistry.
class DeviceRegistry {
public:
    virtual ~DeviceRegistry() = default;

    // Every real serial device present now, in the registry's order.
    virtual std::vector<DeviceHandle> serialDevices() = 0;

    // The installed registry. If none was installed, a UdevDeviceRegistry is made on first use.
    static DeviceRegistry& shared();
    // Installs registry (null: back to the default) and returns the one it replaces.
    static DeviceRegistry* install(DeviceRegistry* registry);
};
