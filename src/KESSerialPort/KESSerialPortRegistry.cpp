#include "DeviceRegistry.h"
#include "KESSerialPort.h"
#include "MainQueue.h"

#include <stdexcept>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utility>

// Construction, the one-object-per-path list, and the device-registry lookups of the port.

namespace {

// Linux gives the slaves of its pseudo-terminals (/dev/pts/N) majors 136 to 143.
constexpr unsigned pseudoTerminalFirstMajor = 136;
constexpr unsigned pseudoTerminalMajors = 8;

struct RegistryEntry {
    const KESSerialPort* port;
    std::weak_ptr<KESSerialPort> weak;
};

// Ports are made and destroyed on the main thread only, so the list needs no lock.
std::vector<RegistryEntry>& registry() {
    static std::vector<RegistryEntry> entries;
    return entries;
}

} // namespace

std::shared_ptr<KESSerialPort> KESSerialPort::makePort(const DeviceHandle& device, std::string path,
                                                       std::string name) {
    DCCCAB_ASSERT_MAIN_THREAD();
    auto port = std::make_shared<KESSerialPort>(Private{});
    port->setIoKitDevice(device);
    port->setPath(std::move(path));
    port->setName(std::move(name));
    port->setWriteBuffer({});
    port->applyDefaultSettings();
    addSerialPort(*port);
    return port;
}

std::shared_ptr<KESSerialPort> KESSerialPort::serialPortWithPath(const std::string& path) {
    const DeviceHandle device = deviceFromBSDPath(path);
    if (device == nullptr) {
        return nullptr;
    }
    return serialPortWithDevice(device);
}

std::shared_ptr<KESSerialPort> KESSerialPort::serialPortWithDevice(const DeviceHandle& device) {
    if (device == nullptr) {
        throw std::logic_error(
            "KESSerialPort::serialPortWithDevice requires non-zero device argument.");
    }
    const std::string callout = bsdCalloutPathFromDevice(device).value_or("");
    if (auto existing = existingPortWithPath(callout)) {
        return existing;
    }
    return makePort(device, callout, modemNameFromDevice(device).value_or(""));
}

std::shared_ptr<KESSerialPort> KESSerialPort::serialPortWithKnownPath(const std::string& path,
                                                                      const std::string& name) {
    if (auto existing = existingPortWithPath(path)) {
        return existing;
    }
    struct stat status {};
    const bool isDevice =
        !path.empty() && ::stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode);
    // A pseudo-terminal is never one of the machine's serial devices: asking the registry would
    // only walk every terminal of the system for nothing, at each start on a simulated board.
    const bool isPseudoTerminal =
        isDevice && major(status.st_rdev) >= pseudoTerminalFirstMajor &&
        major(status.st_rdev) < pseudoTerminalFirstMajor + pseudoTerminalMajors;
    if (!isPseudoTerminal) {
        if (const DeviceHandle device = deviceFromBSDPath(path)) {
            return serialPortWithDevice(device);
        }
    }
    if (!isDevice) {
        return nullptr;
    }
    return makePort(nullptr, path, name);
}

std::shared_ptr<KESSerialPort> KESSerialPort::existingPortWithPath(const std::string& path) {
    if (path.empty()) {
        return nullptr;
    }
    for (const RegistryEntry& entry : registry()) {
        if (entry.port->path() == path) {
            if (auto port = entry.weak.lock()) {
                return port;
            }
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<KESSerialPort>> KESSerialPort::allSerialPorts() {
    std::vector<std::shared_ptr<KESSerialPort>> ports;
    for (const RegistryEntry& entry : registry()) {
        if (auto port = entry.weak.lock()) {
            ports.push_back(std::move(port));
        }
    }
    return ports;
}

void KESSerialPort::addSerialPort(KESSerialPort& port) {
    registry().push_back({&port, port.weak_from_this()});
}

void KESSerialPort::removeSerialPort(const KESSerialPort* port) {
    std::erase_if(registry(), [port](const RegistryEntry& entry) { return entry.port == port; });
}

DeviceHandle KESSerialPort::deviceFromBSDPath(const std::string& path) {
    if (path.empty()) {
        return nullptr;
    }
    for (const DeviceHandle& device : DeviceRegistry::shared().serialDevices()) {
        if (bsdCalloutPathFromDevice(device) == path || bsdDialinPathFromDevice(device) == path) {
            return device;
        }
    }
    return nullptr;
}

std::optional<std::string> KESSerialPort::stringPropertyOfForIOSerialKey(const DeviceHandle& device,
                                                                         const std::string& key) {
    if (device == nullptr) {
        return std::nullopt;
    }
    return device->property(key);
}

std::optional<std::string> KESSerialPort::bsdCalloutPathFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::calloutDeviceKey);
}
std::optional<std::string> KESSerialPort::bsdDialinPathFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::dialinDeviceKey);
}
std::optional<std::string> KESSerialPort::modemNameFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::ttyDeviceKey);
}
std::optional<std::string> KESSerialPort::baseNameFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::ttyBaseNameKey);
}
std::optional<std::string> KESSerialPort::serviceTypeFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::clientTypeKey);
}
std::optional<std::string> KESSerialPort::suffixFromDevice(const DeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, SerialDevice::ttySuffixKey);
}
