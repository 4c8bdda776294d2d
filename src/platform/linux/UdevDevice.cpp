#include "UdevDevice.h"

#include <libudev.h>
#include <utility>

namespace {
std::optional<std::string> text(const char* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

// Parents belong to their child; a wrapper of its own needs a reference of its own.
UdevDevice held(udev_device* borrowed) {
    return borrowed == nullptr ? UdevDevice() : UdevDevice::adopt(udev_device_ref(borrowed));
}
} // namespace

UdevDevice UdevDevice::adopt(udev_device* device) {
    return UdevDevice(device);
}

UdevDevice UdevDevice::fromSyspath(udev* context, const char* syspath) {
    return UdevDevice(udev_device_new_from_syspath(context, syspath));
}

UdevDevice::UdevDevice(const UdevDevice& other)
    : device_(other.device_ != nullptr ? udev_device_ref(other.device_) : nullptr) {}

UdevDevice& UdevDevice::operator=(const UdevDevice& other) {
    if (this != &other) {
        UdevDevice copy(other);
        std::swap(device_, copy.device_);
    }
    return *this;
}

UdevDevice::UdevDevice(UdevDevice&& other) noexcept
    : device_(std::exchange(other.device_, nullptr)) {}

UdevDevice& UdevDevice::operator=(UdevDevice&& other) noexcept {
    std::swap(device_, other.device_);
    return *this;
}

UdevDevice::~UdevDevice() {
    if (device_ != nullptr) {
        udev_device_unref(device_);
    }
}

std::optional<std::string> UdevDevice::devnode() const {
    return device_ ? text(udev_device_get_devnode(device_)) : std::nullopt;
}

std::optional<std::string> UdevDevice::sysname() const {
    return device_ ? text(udev_device_get_sysname(device_)) : std::nullopt;
}

std::optional<std::string> UdevDevice::property(const char* key) const {
    return device_ ? text(udev_device_get_property_value(device_, key)) : std::nullopt;
}

std::optional<std::string> UdevDevice::sysattr(const char* name) const {
    return device_ ? text(udev_device_get_sysattr_value(device_, name)) : std::nullopt;
}

UdevDevice UdevDevice::parent() const {
    return device_ ? held(udev_device_get_parent(device_)) : UdevDevice();
}

UdevDevice UdevDevice::ancestor(const char* subsystem, const char* devtype) const {
    return device_
               ? held(udev_device_get_parent_with_subsystem_devtype(device_, subsystem, devtype))
               : UdevDevice();
}
