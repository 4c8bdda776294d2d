#pragma once

#include "DeviceIterator.h"
#include "ListChange.h"
#include "NotificationCenter.h"
#include "Observable.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

class KESSerialPort;

// Posted after ports arrive; user info: KESConnectedSerialPortsKey -> the ports this arrival
// added to availablePorts (a KESSerialPortManager::PortList, possibly empty).
inline constexpr const char* KESSerialPortsWereConnectedNotification =
    "KESSerialPortWasConnectedNotification";
// Posted after ports vanish; user info: KESDisconnectedSerialPortsKey -> the port of every device
// the removal reported, listed or not (a KESSerialPortManager::PortList).
inline constexpr const char* KESSerialPortsWereDisconnectedNotification =
    "KESSerialPortWasDisconnectedNotification";
inline constexpr const char* KESConnectedSerialPortsKey = "KESConnectedSerialPortsKey";
inline constexpr const char* KESDisconnectedSerialPortsKey = "KESDisconnectedSerialPortsKey";

// The device sources call these with the manager as context. A context that is not a live
// manager is logged and the event dropped.
void KESSerialPortManagerPortsPublishedNotificationCallback(void* context,
                                                            DeviceIterator& iterator);
void KESSerialPortManagerPortsTerminatedNotificationCallback(void* context,
                                                             DeviceIterator& iterator);

// The process's keeper of the serial ports present on the machine.
//
// When made, it lists a port for every serial device present (in the device source's order) and
// from then on keeps availablePorts current: arriving ports are appended; a vanished port is
// cleaned up (closed, its delegate told it was removed) and then taken out of the list. Every
// arrival and removal reaches observers of the key "availablePorts" first (with a
// ListChange<std::shared_ptr<KESSerialPort>> as the change), then subscribers of the connected or
// disconnected notification on the default NotificationCenter. It closes the open listed ports
// before the system sleeps and reopens them after it wakes (PowerEvents' notifications), and
// cleans every listed port up when the application will terminate.
//
// Threading: main thread only, like the device source whose events it handles; observers and
// subscribers are called synchronously from inside the change. Only sharedSerialPortManager may
// be called from any thread.
//
// Ownership: the shared manager is made once and never destroyed. It holds its listed ports and
// the ports waiting to be reopened; the ports do not know it. The device source is the one
// installed (DeviceEvents::install) when the manager is made; with none, the manager is blind.
class KESSerialPortManager : public Observable {
public:
    using PortList = std::vector<std::shared_ptr<KESSerialPort>>;
    using Change = ListChange<std::shared_ptr<KESSerialPort>>;

    // The one manager of the process, made (and its list enumerated) on the first call, exactly
    // once even when several threads ask first. Make it on the main thread: that is where its
    // device events and notifications are handled.
    static KESSerialPortManager& sharedSerialPortManager();

    KESSerialPortManager(const KESSerialPortManager&) = delete;
    KESSerialPortManager& operator=(const KESSerialPortManager&) = delete;
    ~KESSerialPortManager() override;

    // --- availablePorts ------------------------------------------------------------------------

    // The ports present, in the order found; none when the device source refused the manager, and
    // after application termination.
    const std::optional<PortList>& availablePorts() const { return availablePorts_; }
    // Replaces the list (observers see a replacement); setting the list already held does nothing.
    void setAvailablePorts(std::optional<PortList> ports);
    std::size_t countOfAvailablePorts() const;
    // index must be below countOfAvailablePorts (std::out_of_range otherwise), as for every indexed
    // mutator below. Inserting into no list starts one.
    const std::shared_ptr<KESSerialPort>& objectInAvailablePortsAtIndex(std::size_t index) const;
    void insertObjectInAvailablePortsAtIndex(std::shared_ptr<KESSerialPort> port,
                                             std::size_t index);
    // indexes ascending, one per port: each port lands at its index in the list afterwards.
    void insertAvailablePortsAtIndexes(const PortList& ports,
                                       const std::vector<std::size_t>& indexes);
    void removeObjectFromAvailablePortsAtIndex(std::size_t index);
    void removeAvailablePortsAtIndexes(const std::vector<std::size_t>& indexes);

    // --- Sleep and wake ----------------------------------------------------------------------

    // The ports closed at the last will-sleep that are still to be reopened, in the order closed.
    PortList& portsToReopenAfterSleep() { return portsToReopenAfterSleep_; }
    void setPortsToReopenAfterSleep(PortList ports);
    // Closes every open listed port, in list order, and remembers those that closed cleanly.
    void systemWillSleep(const Notification& notification);
    // Opens every remembered port, in the order closed, and forgets it whatever the outcome.
    void systemDidWake(const Notification& notification);

    // --- Device events -----------------------------------------------------------------------

    // The arrival and removal subscriptions (null: none). Setting the one held does nothing.
    const std::shared_ptr<DeviceIterator>& portPublishedNotificationIterator() const {
        return portPublishedNotificationIterator_;
    }
    void setPortPublishedNotificationIterator(std::shared_ptr<DeviceIterator> iterator);
    const std::shared_ptr<DeviceIterator>& portTerminatedNotificationIterator() const {
        return portTerminatedNotificationIterator_;
    }
    void setPortTerminatedNotificationIterator(std::shared_ptr<DeviceIterator> iterator);

    void serialPortsWerePublished(DeviceIterator& iterator);
    void serialPortsWereTerminated(DeviceIterator& iterator);

    // True when context is a manager that is alive now.
    static bool isManager(const void* context);

protected:
    // Sets the manager up: enumerates the present devices, subscribes to their arrivals and
    // removals and to termination, sleep and wake. The program's one manager is made by
    // sharedSerialPortManager; tests make their own, each with the device source they installed.
    KESSerialPortManager();

private:
    void retrieveAvailablePortsAndRegisterForChangeNotifications();
    void registerForNotifications();
    void applicationWillTerminate();
    void announce(const Change& change);

    std::optional<PortList> availablePorts_;
    std::shared_ptr<DeviceIterator> portPublishedNotificationIterator_;
    std::shared_ptr<DeviceIterator> portTerminatedNotificationIterator_;
    PortList portsToReopenAfterSleep_;
    // Declared last, so ended first when the manager goes.
    std::vector<Subscription> subscriptions_;
};
