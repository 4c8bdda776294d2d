#include "SerialDevice.h"

#include <utility>

SerialDevice::SerialDevice(Properties properties, std::shared_ptr<const void> native)
    : properties_(std::move(properties)), native_(std::move(native)) {}

std::optional<std::string> SerialDevice::property(const std::string& key) const {
    auto found = properties_.find(key);
    if (found == properties_.end()) {
        return std::nullopt;
    }
    return found->second;
}
