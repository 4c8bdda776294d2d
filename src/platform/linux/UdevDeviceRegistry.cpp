#include "UdevDeviceRegistry.h"

#include "Log.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <libudev.h>
#include <sstream>
#include <string_view>

namespace {
constexpr std::string_view byIdDirectory = "/dev/serial/by-id/";

// The by-id link of devnode: from the udev daemon's DEVLINKS where it runs, else from the
// directory itself.
std::optional<std::string> byIdLink(const UdevDevice& device, const std::string& devnode) {
    if (auto links = device.property("DEVLINKS")) {
        std::istringstream words(*links);
        for (std::string link; words >> link;) {
            if (link.rfind(byIdDirectory, 0) == 0) {
                return link;
            }
        }
    }
    DIR* directory = ::opendir(std::string(byIdDirectory).c_str());
    if (directory == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    while (dirent* entry = ::readdir(directory)) {
        const std::string link = std::string(byIdDirectory) + entry->d_name;
        char target[PATH_MAX];
        if (entry->d_name[0] != '.' && ::realpath(link.c_str(), target) != nullptr &&
            devnode == target) {
            found = link;
            break;
        }
    }
    ::closedir(directory);
    return found;
}
} // namespace

UdevDeviceRegistry::UdevDeviceRegistry() : context_(udev_new()) {
    if (context_ == nullptr) {
        Log::line("Unable to reach the device registry (udev_new failed); no serial devices "
                  "will be listed");
    }
}

UdevDeviceRegistry::~UdevDeviceRegistry() {
    if (context_ != nullptr) {
        udev_unref(context_);
    }
}

bool UdevDeviceRegistry::isRealSerialDevice(const UdevDevice& device) {
    return device && isRealSerialDevice(device.devnode().has_value(), bool(device.parent()),
                                        device.sysattr("type"));
}

bool UdevDeviceRegistry::isRealSerialDevice(bool hasDevnode, bool hasParent,
                                            const std::optional<std::string>& type) {
    return hasDevnode && hasParent && !(type && std::atoi(type->c_str()) == 0);
}

DeviceHandle UdevDeviceRegistry::describe(const UdevDevice& device) {
    SerialDevice::Properties properties;
    for (udev_list_entry* entry = udev_device_get_properties_list_entry(device.get());
         entry != nullptr; entry = udev_list_entry_get_next(entry)) {
        const char* value = udev_list_entry_get_value(entry);
        properties.emplace(udev_list_entry_get_name(entry), value != nullptr ? value : "");
    }
    // Without the udev daemon the USB strings are only in the USB device's attributes.
    const UdevDevice usb = device.ancestor("usb", "usb_device");
    for (auto [key, attribute] :
         {std::pair{"ID_VENDOR", "manufacturer"}, std::pair{"ID_MODEL", "product"},
          std::pair{"ID_SERIAL_SHORT", "serial"}}) {
        if (!properties.contains(key)) {
            if (auto value = usb.sysattr(attribute)) {
                properties.emplace(key, *value);
            }
        }
    }

    const std::string devnode = device.devnode().value_or("");
    const std::string name = device.sysname().value_or("");
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) {
        --digits;
    }
    properties[SerialDevice::calloutDeviceKey] = devnode;
    properties[SerialDevice::ttyDeviceKey] = name;
    properties[SerialDevice::ttyBaseNameKey] = name.substr(0, digits);
    properties[SerialDevice::ttySuffixKey] = name.substr(digits);
    properties[SerialDevice::clientTypeKey] = "IOSerialStream";
    if (auto link = byIdLink(device, devnode)) {
        properties[SerialDevice::dialinDeviceKey] = *link;
    }
    return std::make_shared<SerialDevice>(std::move(properties),
                                          std::make_shared<const UdevDevice>(device));
}

std::vector<DeviceHandle> UdevDeviceRegistry::serialDevices() {
    std::vector<DeviceHandle> devices;
    if (context_ == nullptr) {
        return devices;
    }
    udev_enumerate* enumerate = udev_enumerate_new(context_);
    if (enumerate == nullptr) {
        return devices;
    }
    udev_enumerate_add_match_subsystem(enumerate, "tty");
    if (udev_enumerate_scan_devices(enumerate) >= 0) {
        for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumerate); entry != nullptr;
             entry = udev_list_entry_get_next(entry)) {
            const UdevDevice device =
                UdevDevice::fromSyspath(context_, udev_list_entry_get_name(entry));
            if (isRealSerialDevice(device)) {
                devices.push_back(describe(device));
            }
        }
    }
    udev_enumerate_unref(enumerate);
    return devices;
}
