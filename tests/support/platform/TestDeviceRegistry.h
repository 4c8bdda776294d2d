#pragma once

#include "DeviceRegistry.h"

#include <string>
#include <vector>

// The test registry: lists exactly the devices the test adds, such as a pseudo-terminal standing
// in for a USB adapter. Installs itself for its lifetime. Main thread only.
class TestDeviceRegistry : public DeviceRegistry {
public:
    TestDeviceRegistry();
    ~TestDeviceRegistry() override;
    TestDeviceRegistry(const TestDeviceRegistry&) = delete;
    TestDeviceRegistry& operator=(const TestDeviceRegistry&) = delete;

    std::vector<DeviceHandle> serialDevices() override;

    // Adds a device with the given paths and kernel name (dialinPath may be empty) and returns it.
    DeviceHandle addDevice(const std::string& calloutPath, const std::string& dialinPath,
                           const std::string& name);
    void removeDevice(const DeviceHandle& device);

private:
    DeviceRegistry* replaced_;
    std::vector<DeviceHandle> devices_;
};
