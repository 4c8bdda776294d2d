#pragma once

#include <optional>
#include <string>

struct udev;
struct udev_device;

// A counted reference to one libudev device: copying takes a reference (udev_device_ref),
// destruction gives it back (udev_device_unref). Empty when it refers to nothing.
//
// libudev objects stay on the thread that made them; so does this wrapper.
class UdevDevice {
public:
    UdevDevice() = default;
    // Takes over a reference the caller already owns (from a udev_device_new_* call).
    static UdevDevice adopt(udev_device* device);
    static UdevDevice fromSyspath(udev* context, const char* syspath);

    UdevDevice(const UdevDevice& other);
    UdevDevice& operator=(const UdevDevice& other);
    UdevDevice(UdevDevice&& other) noexcept;
    UdevDevice& operator=(UdevDevice&& other) noexcept;
    ~UdevDevice();

    udev_device* get() const { return device_; }
    explicit operator bool() const { return device_ != nullptr; }

    std::optional<std::string> devnode() const;
    std::optional<std::string> sysname() const;
    std::optional<std::string> property(const char* key) const;
    std::optional<std::string> sysattr(const char* name) const;
    // The parent device (empty for a virtual device), or the nearest ancestor of the subsystem
    // and device type given.
    UdevDevice parent() const;
    UdevDevice ancestor(const char* subsystem, const char* devtype) const;

private:
    explicit UdevDevice(udev_device* device) : device_(device) {}
    udev_device* device_ = nullptr;
};
