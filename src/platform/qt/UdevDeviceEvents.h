#pragma once

#include "DeviceEvents.h"
#include "UdevDeviceRegistry.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QSocketNotifier;
class QTimer;
struct udev_monitor;

// The program's device-event source: a libudev monitor of subsystem "tty", read on the main thread
// whenever a QSocketNotifier finds its descriptor readable. It does not install itself; the
// program passes it to DeviceEvents::install.
//
// The monitor listens to the udev daemon's group when the daemon runs, otherwise to the kernel's
// own uevents. Where no monitor can be made at all, it logs one line and rescans the registry
// every 2 s instead, reporting the difference.
//
// Devices are remembered by their kernel device path (DEVPATH, the syspath without "/sys"), taken
// from the event or from the DEVPATH property of an enumerated description. Following starts with
// the first subscription, and what was present then is remembered, so that the removal of any
// device listed since can be reported with the description it had when it was found.
//
// Every readable notification drains all pending events into one pass; consecutive arrivals and
// consecutive removals of the pass form one batch each, in order. When the monitor's socket
// overflowed (a burst of events, as at resume), the events it dropped are made good: after the
// pass the registry is rescanned and the difference reported, as the rescanning fallback does. An
// "add" of a device already known is reported again (the consumer deduplicates); removals of
// devices never known (consoles, pseudo-terminals) and every other action are ignored.
//
// Main thread only, with a Qt event loop serving it. Handlers run from that loop, synchronously
// inside the pass, never from inside addMatchingNotification. The source must not be destroyed
// from inside one of its handlers. Iterators may outlive it; they then get nothing more.
class UdevDeviceEvents : public DeviceEvents {
public:
    enum class Following { udevDaemon, kernel, rescanning };

    // One arrival (publish) or removal (terminate), and a run of them reported at once.
    struct Change {
        Kind kind;
        DeviceHandle device;
    };
    struct Batch {
        Kind kind;
        std::vector<DeviceHandle> devices;
    };
    // Remembered descriptions by device path.
    using Known = std::map<std::string, DeviceHandle>;

    // Makes the library context and the monitor; receives nothing until the first subscription.
    UdevDeviceEvents();
    ~UdevDeviceEvents() override;
    UdevDeviceEvents(const UdevDeviceEvents&) = delete;
    UdevDeviceEvents& operator=(const UdevDeviceEvents&) = delete;

    // Never refuses. A terminate iterator starts empty.
    std::shared_ptr<DeviceIterator>
    addMatchingNotification(Kind kind, DeviceIterator::Handler handler) override;

    // How changes are followed. Becomes rescanning at the first subscription if the monitor
    // cannot be bound then.
    Following following() const { return following_; }

    // Sets the monitor socket's receive buffer (the kernel rounds it up to its minimum); false
    // without a monitor or when refused. A small buffer overflows sooner, which tests use.
    bool setReceiveBufferSize(int bytes);

    // Consecutive changes of one kind grouped into one batch, in their order.
    static std::vector<Batch> batches(const std::vector<Change>& changes);
    // What a rescan reports: removals of known devices no longer present, then arrivals of
    // present devices not known, each in its list's order.
    static std::vector<Change> rescanChanges(const Known& known,
                                             const std::vector<DeviceHandle>& present);
    // The key a description is remembered by: its DEVPATH property ("" if it has none).
    static std::string devpath(const SerialDevice& device);

private:
    void startFollowing();
    void fallBackToRescanning();
    void receive();
    void rescan();
    void remember(const Change& change);
    void report(const std::vector<Change>& changes);

    // Owns the library context; destroyed after the monitor.
    UdevDeviceRegistry registry_;
    udev_monitor* monitor_ = nullptr;
    Following following_ = Following::rescanning;
    bool started_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> rescanTimer_;
    Known known_;
    std::vector<std::pair<Kind, std::weak_ptr<DeviceIterator>>> subscriptions_;
};
