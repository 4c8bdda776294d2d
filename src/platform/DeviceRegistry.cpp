#include "DeviceRegistry.h"

#include "UdevDeviceRegistry.h"

namespace {
DeviceRegistry* installed = nullptr;
}

DeviceRegistry& DeviceRegistry::shared() {
    if (installed == nullptr) {
        static UdevDeviceRegistry udevRegistry;
        return udevRegistry;
    }
    return *installed;
}

DeviceRegistry* DeviceRegistry::install(DeviceRegistry* registry) {
    DeviceRegistry* replaced = installed;
    installed = registry;
    return replaced;
}
