#include "DeviceRegistry.h"

#include "MissingService.h"

namespace {
DeviceRegistry* installed = nullptr;
}

DeviceRegistry& DeviceRegistry::shared() {
    if (installed == nullptr) {
        missingService("DeviceRegistry::shared()", "device registry",
                       "a TestDeviceRegistry, or a UdevDeviceRegistry to list the machine's own "
                       "devices");
    }
    return *installed;
}

DeviceRegistry* DeviceRegistry::install(DeviceRegistry* registry) {
    DeviceRegistry* replaced = installed;
    installed = registry;
    return replaced;
}
