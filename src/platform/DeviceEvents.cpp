#include "DeviceEvents.h"

namespace {
DeviceEvents* current = nullptr;
}

DeviceEvents* DeviceEvents::installed() {
    return current;
}

DeviceEvents* DeviceEvents::install(DeviceEvents* source) {
    DeviceEvents* replaced = current;
    current = source;
    return replaced;
}
