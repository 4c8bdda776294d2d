#pragma once

#include "SerialDevice.h"

#include <vector>

// The machine's list of serial devices.
//
// Main thread only: the production registry's library objects belong to the thread that made
// them. The program installs a UdevDeviceRegistry at start-up (SystemServices); tests install a
// TestDeviceRegistry, or a UdevDeviceRegistry when they mean the machine's own devices.
class DeviceRegistry {
public:
    virtual ~DeviceRegistry() = default;

    // Every real serial device present now, in the registry's order.
    virtual std::vector<DeviceHandle> serialDevices() = 0;

    // The installed registry. With none installed this is a programming error: a message that
    // names the missing service on standard error, then abort.
    static DeviceRegistry& shared();
    // Installs registry (null: none) and returns the one it replaces. The registry must outlive
    // its installation.
    static DeviceRegistry* install(DeviceRegistry* registry);
};
