#include "TestDeviceRegistry.h"

#include <algorithm>

TestDeviceRegistry::TestDeviceRegistry() : replaced_(DeviceRegistry::install(this)) {}

TestDeviceRegistry::~TestDeviceRegistry() {
    DeviceRegistry::install(replaced_);
}

std::vector<DeviceHandle> TestDeviceRegistry::serialDevices() {
    return devices_;
}

DeviceHandle TestDeviceRegistry::addDevice(const std::string& calloutPath,
                                           const std::string& dialinPath, const std::string& name) {
    SerialDevice::Properties properties{
        {SerialDevice::calloutDeviceKey, calloutPath},
        {SerialDevice::ttyDeviceKey, name},
        {SerialDevice::clientTypeKey, "IOSerialStream"},
    };
    if (!dialinPath.empty()) {
        properties.emplace(SerialDevice::dialinDeviceKey, dialinPath);
    }
    devices_.push_back(std::make_shared<SerialDevice>(std::move(properties)));
    return devices_.back();
}

void TestDeviceRegistry::removeDevice(const DeviceHandle& device) {
    devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
}
