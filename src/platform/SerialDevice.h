#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

// One serial device as the device registry described it when it was found. The description is
// read once and kept: a device that has since left the system can still be named and compared.
//
// Immutable once made, so any thread may read it; handed around as a DeviceHandle.
class SerialDevice {
public:
    // The string properties every registry fills in, where the device has them.
    static constexpr const char* calloutDeviceKey = "IOCalloutDevice"; // the device node
    static constexpr const char* dialinDeviceKey = "IODialinDevice";   // its stable by-id link
    static constexpr const char* ttyDeviceKey = "IOTTYDevice";         // kernel name, ttyUSB0
    static constexpr const char* ttyBaseNameKey = "IOTTYBaseName";     // ttyUSB
    static constexpr const char* ttySuffixKey = "IOTTYSuffix";         // 0
    static constexpr const char* clientTypeKey = "IOSerialBSDClientType";

    using Properties = std::map<std::string, std::string>;

    // native keeps the registry's own handle of the device alive for as long as this record.
    explicit SerialDevice(Properties properties, std::shared_ptr<const void> native = {});

    std::optional<std::string> property(const std::string& key) const;
    const Properties& properties() const { return properties_; }

private:
    Properties properties_;
    std::shared_ptr<const void> native_;
};

// A counted reference to a device; null means no device.
using DeviceHandle = std::shared_ptr<const SerialDevice>;
