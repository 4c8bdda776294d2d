#include "UdevDeviceEvents.h"

#include "Log.h"
#include "MainQueue.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <libudev.h>
#include <set>
#include <string_view>
#include <unistd.h>

namespace {
constexpr std::chrono::milliseconds rescanInterval{2000};

bool udevDaemonRuns(udev* context) {
    bool active = ::access("/run/udev/control", F_OK) == 0;
    if (udev_queue* queue = udev_queue_new(context)) {
        active = active || udev_queue_get_udev_is_active(queue) != 0;
        udev_queue_unref(queue);
    }
    return active;
}
} // namespace

UdevDeviceEvents::UdevDeviceEvents() {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (udev* context = registry_.context()) {
        // Without the daemon its group stays silent, but the kernel's uevents still arrive.
        const bool daemon = udevDaemonRuns(context);
        monitor_ = udev_monitor_new_from_netlink(context, daemon ? "udev" : "kernel");
        if (monitor_ != nullptr &&
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
        following_ = daemon ? Following::udevDaemon : Following::kernel;
    }
    if (monitor_ == nullptr) {
        fallBackToRescanning();
    }
}

UdevDeviceEvents::~UdevDeviceEvents() {
    DCCCAB_ASSERT_MAIN_THREAD();
    notifier_.reset();
    rescanTimer_.reset();
    if (monitor_ != nullptr) {
        udev_monitor_unref(monitor_);
    }
}

std::shared_ptr<DeviceIterator>
UdevDeviceEvents::addMatchingNotification(Kind kind, DeviceIterator::Handler handler) {
    DCCCAB_ASSERT_MAIN_THREAD();
    const bool starting = !started_;
    if (starting) {
        // Receiving before listing: a device that comes or goes in between is reported too.
        startFollowing();
    }
    auto iterator = std::make_shared<DeviceIterator>(std::move(handler));
    if (starting || kind == Kind::publish) {
        const std::vector<DeviceHandle> present = registry_.serialDevices();
        if (starting) {
            // Later listings leave the remembered set alone: events (or the rescan) keep it.
            for (const DeviceHandle& device : present) {
                known_.insert_or_assign(devpath(*device), device);
            }
        }
        if (kind == Kind::publish) {
            iterator->append(present);
        }
    }
    std::erase_if(subscriptions_, [](const auto& entry) { return entry.second.expired(); });
    subscriptions_.emplace_back(kind, iterator);
    return iterator;
}

std::vector<UdevDeviceEvents::Batch> UdevDeviceEvents::batches(const std::vector<Change>& changes) {
    std::vector<Batch> result;
    for (const Change& change : changes) {
        if (result.empty() || result.back().kind != change.kind) {
            result.push_back({change.kind, {}});
        }
        result.back().devices.push_back(change.device);
    }
    return result;
}

std::vector<UdevDeviceEvents::Change>
UdevDeviceEvents::rescanChanges(const Known& known, const std::vector<DeviceHandle>& present) {
    std::vector<Change> changes;
    std::set<std::string> presentPaths;
    for (const DeviceHandle& device : present) {
        presentPaths.insert(devpath(*device));
    }
    for (const auto& [path, device] : known) {
        if (!presentPaths.contains(path)) {
            changes.push_back({Kind::terminate, device});
        }
    }
    for (const DeviceHandle& device : present) {
        if (!known.contains(devpath(*device))) {
            changes.push_back({Kind::publish, device});
        }
    }
    return changes;
}

std::string UdevDeviceEvents::devpath(const SerialDevice& device) {
    return device.property("DEVPATH").value_or("");
}

void UdevDeviceEvents::startFollowing() {
    started_ = true;
    if (monitor_ != nullptr && udev_monitor_enable_receiving(monitor_) >= 0) {
        notifier_ =
            std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                         [this] { receive(); });
        return;
    }
    if (monitor_ != nullptr) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        fallBackToRescanning();
    }
    rescanTimer_ = std::make_unique<QTimer>();
    rescanTimer_->setInterval(rescanInterval);
    QObject::connect(rescanTimer_.get(), &QTimer::timeout, rescanTimer_.get(),
                     [this] { rescan(); });
    rescanTimer_->start();
}

void UdevDeviceEvents::fallBackToRescanning() {
    following_ = Following::rescanning;
    Log::line("Unable to monitor serial devices (no udev monitor); hot-plug will be followed by "
              "rescanning every 2 s");
}

void UdevDeviceEvents::receive() {
    DCCCAB_ASSERT_MAIN_THREAD();
    std::vector<Change> changes;
    bool overflowed = false;
    // The descriptor is non-blocking and the library yields null once nothing is left, so one
    // readable notification takes everything that piled up. A null with ENOBUFS means the kernel
    // dropped events for want of room; what is queued after that still comes, so read on.
    for (;;) {
        errno = 0;
        udev_device* received = udev_monitor_receive_device(monitor_);
        if (received == nullptr) {
            if (errno == ENOBUFS) {
                overflowed = true;
                continue;
            }
            break;
        }
        const UdevDevice device = UdevDevice::adopt(received);
        const char* action = udev_device_get_action(received);
        const char* path = udev_device_get_devpath(received);
        if (action == nullptr || path == nullptr) {
            continue;
        }
        const std::string_view what(action);
        if (what == "add" && UdevDeviceRegistry::isRealSerialDevice(device)) {
            // Now, while sysfs still has it.
            changes.push_back({Kind::publish, UdevDeviceRegistry::describe(device)});
            remember(changes.back());
        } else if (what == "remove") {
            if (auto known = known_.find(path); known != known_.end()) {
                changes.push_back({Kind::terminate, known->second});
                remember(changes.back());
            }
        }
    }
    if (overflowed) {
        Log::line("Serial-device events were lost (the udev monitor's buffer overflowed); "
                  "rescanning the serial devices");
        for (const Change& change : rescanChanges(known_, registry_.serialDevices())) {
            changes.push_back(change);
            remember(change);
        }
    }
    report(changes);
}

bool UdevDeviceEvents::setReceiveBufferSize(int bytes) {
    return monitor_ != nullptr && udev_monitor_set_receive_buffer_size(monitor_, bytes) >= 0;
}

void UdevDeviceEvents::rescan() {
    DCCCAB_ASSERT_MAIN_THREAD();
    const std::vector<Change> changes = rescanChanges(known_, registry_.serialDevices());
    for (const Change& change : changes) {
        remember(change);
    }
    report(changes);
}

void UdevDeviceEvents::remember(const Change& change) {
    if (change.kind == Kind::publish) {
        known_.insert_or_assign(devpath(*change.device), change.device);
    } else {
        known_.erase(devpath(*change.device));
    }
}

void UdevDeviceEvents::report(const std::vector<Change>& changes) {
    for (const Batch& batch : batches(changes)) {
        // Copied per batch, since handlers may subscribe or unsubscribe: a subscription made
        // during this pass may hear of a device twice, but never misses one.
        const auto subscriptions = subscriptions_;
        for (const auto& [kind, weak] : subscriptions) {
            if (auto iterator = weak.lock(); kind == batch.kind && iterator) {
                iterator->deliver(batch.devices);
            }
        }
    }
}
