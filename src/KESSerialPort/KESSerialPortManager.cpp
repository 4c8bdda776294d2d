#include "KESSerialPortManager.h"

#include "DeviceEvents.h"
#include "KESSerialPort.h"
#include "Log.h"
#include "MainQueue.h"
#include "PowerEvents.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* availablePortsKey = "availablePorts";

// The managers alive now, so a device callback can tell a manager from any other context.
std::mutex livingMutex;
std::set<const void*>& living() {
    static std::set<const void*> managers;
    return managers;
}

std::string describeContext(const void* context) {
    char text[2 + 2 * sizeof(void*) + 1];
    std::snprintf(text, sizeof text, "%p", context);
    return text;
}

bool contains(const KESSerialPortManager::PortList& ports, const KESSerialPort& port) {
    return std::any_of(ports.begin(), ports.end(),
                       [&](const auto& listed) { return listed->isEqual(port); });
}

// Indexes name list positions: below the list's size, or up to it for an insertion.
void requireIndexBelow(std::size_t index, std::size_t limit) {
    if (index >= limit) {
        throw std::out_of_range("KESSerialPortManager: index " + std::to_string(index) +
                                " is out of range for a list of " + std::to_string(limit) +
                                " positions");
    }
}

void requireAscending(const std::vector<std::size_t>& indexes) {
    if (!std::is_sorted(indexes.begin(), indexes.end()) ||
        std::adjacent_find(indexes.begin(), indexes.end()) != indexes.end()) {
        throw std::invalid_argument("KESSerialPortManager: indexes must be distinct and ascending");
    }
}

KESSerialPortManager* managerFromContext(void* context, const char* callback) {
    if (!KESSerialPortManager::isManager(context)) {
        Log::line("Unexpected context object " + describeContext(context) + " in " + callback +
                  ". Context object should be an instance of KESSerialPortManager");
        return nullptr;
    }
    return static_cast<KESSerialPortManager*>(context);
}

} // namespace

void KESSerialPortManagerPortsPublishedNotificationCallback(void* context,
                                                            DeviceIterator& iterator) {
    if (auto* manager = managerFromContext(
            context, "void KESSerialPortManagerPortsPublishedNotificationCallback(void *, "
                     "io_iterator_t)")) {
        manager->serialPortsWerePublished(iterator);
    }
}

void KESSerialPortManagerPortsTerminatedNotificationCallback(void* context,
                                                             DeviceIterator& iterator) {
    if (auto* manager = managerFromContext(
            context, "void KESSerialPortManagerPortsTerminatedNotificationCallback(void *, "
                     "io_iterator_t)")) {
        manager->serialPortsWereTerminated(iterator);
    }
}

KESSerialPortManager& KESSerialPortManager::sharedSerialPortManager() {
    static std::once_flag onceToken;
    static KESSerialPortManager* sharedInstance = nullptr;
    std::call_once(onceToken, [] { sharedInstance = new KESSerialPortManager; });
    return *sharedInstance;
}

bool KESSerialPortManager::isManager(const void* context) {
    std::lock_guard lock(livingMutex);
    return context != nullptr && living().contains(context);
}

KESSerialPortManager::KESSerialPortManager() {
    {
        std::lock_guard lock(livingMutex);
        living().insert(this);
    }
    retrieveAvailablePortsAndRegisterForChangeNotifications();
    registerForNotifications();
}

KESSerialPortManager::~KESSerialPortManager() {
    setPortPublishedNotificationIterator(nullptr);
    setPortTerminatedNotificationIterator(nullptr);
    std::lock_guard lock(livingMutex);
    living().erase(this);
}

// --- Set-up ------------------------------------------------------------------------------

void KESSerialPortManager::retrieveAvailablePortsAndRegisterForChangeNotifications() {
    DCCCAB_ASSERT_MAIN_THREAD();
    DeviceEvents* source = DeviceEvents::installed();
    if (source == nullptr) {
        return;
    }
    std::shared_ptr<DeviceIterator> published = source->addMatchingNotification(
        DeviceEvents::Kind::publish, [this](DeviceIterator& iterator) {
            KESSerialPortManagerPortsPublishedNotificationCallback(this, iterator);
        });
    if (!published) {
        return; // refused: no list and no events, silently
    }
    setPortPublishedNotificationIterator(published);

    // The devices present now; taking them all also arms the subscription.
    PortList ports;
    while (const DeviceHandle device = published->next()) {
        if (auto port = KESSerialPort::serialPortWithDevice(device)) {
            ports.push_back(std::move(port));
        }
    }
    setAvailablePorts(std::move(ports));

    std::shared_ptr<DeviceIterator> terminated = source->addMatchingNotification(
        DeviceEvents::Kind::terminate, [this](DeviceIterator& iterator) {
            KESSerialPortManagerPortsTerminatedNotificationCallback(this, iterator);
        });
    if (!terminated) {
        return; // arrivals are still followed
    }
    setPortTerminatedNotificationIterator(terminated);
    while (terminated->next()) {
    }
}

void KESSerialPortManager::registerForNotifications() {
    NotificationCenter& center = NotificationCenter::defaultCenter();
    subscriptions_.push_back(
        center.addObserverForName(NotificationCenter::applicationWillTerminateNotification, nullptr,
                                  [this](const Notification&) { applicationWillTerminate(); }));
    subscriptions_.push_back(center.addObserverForName(
        PowerEvents::willSleepNotification, nullptr,
        [this](const Notification& notification) { systemWillSleep(notification); }));
    subscriptions_.push_back(center.addObserverForName(
        PowerEvents::didWakeNotification, nullptr,
        [this](const Notification& notification) { systemDidWake(notification); }));
}

void KESSerialPortManager::setPortPublishedNotificationIterator(
    std::shared_ptr<DeviceIterator> iterator) {
    if (iterator != portPublishedNotificationIterator_) {
        portPublishedNotificationIterator_ = std::move(iterator);
    }
}

void KESSerialPortManager::setPortTerminatedNotificationIterator(
    std::shared_ptr<DeviceIterator> iterator) {
    if (iterator != portTerminatedNotificationIterator_) {
        portTerminatedNotificationIterator_ = std::move(iterator);
    }
}

// --- The observable list -------------------------------------------------------------------

void KESSerialPortManager::announce(const Change& change) {
    didChangeValueForKey(availablePortsKey, change);
}

void KESSerialPortManager::setAvailablePorts(std::optional<PortList> ports) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (ports == availablePorts_) {
        return;
    }
    Change change;
    change.kind = Change::Kind::replacement;
    change.hadOld = availablePorts_.has_value();
    change.hasNew = ports.has_value();
    change.oldValues = availablePorts_.value_or(PortList{});
    change.newValues = ports.value_or(PortList{});
    availablePorts_ = std::move(ports);
    announce(change);
}

std::size_t KESSerialPortManager::countOfAvailablePorts() const {
    return availablePorts_ ? availablePorts_->size() : 0;
}

const std::shared_ptr<KESSerialPort>&
KESSerialPortManager::objectInAvailablePortsAtIndex(std::size_t index) const {
    requireIndexBelow(index, countOfAvailablePorts());
    return (*availablePorts_)[index];
}

void KESSerialPortManager::insertObjectInAvailablePortsAtIndex(std::shared_ptr<KESSerialPort> port,
                                                               std::size_t index) {
    insertAvailablePortsAtIndexes({std::move(port)}, {index});
}

void KESSerialPortManager::insertAvailablePortsAtIndexes(const PortList& ports,
                                                         const std::vector<std::size_t>& indexes) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (ports.size() != indexes.size()) {
        throw std::invalid_argument("KESSerialPortManager: " + std::to_string(ports.size()) +
                                    " ports for " + std::to_string(indexes.size()) + " indexes");
    }
    if (ports.empty()) {
        return;
    }
    requireAscending(indexes);
    // Validate before touching the list, so a bad call changes nothing.
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        requireIndexBelow(indexes[i], countOfAvailablePorts() + i + 1);
    }
    PortList& list = availablePorts_ ? *availablePorts_ : availablePorts_.emplace();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(indexes[i]), ports[i]);
    }
    Change change;
    change.kind = Change::Kind::insertion;
    change.indexes = indexes;
    change.newValues = ports;
    announce(change);
}

void KESSerialPortManager::removeObjectFromAvailablePortsAtIndex(std::size_t index) {
    removeAvailablePortsAtIndexes({index});
}

void KESSerialPortManager::removeAvailablePortsAtIndexes(const std::vector<std::size_t>& indexes) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (indexes.empty()) {
        return;
    }
    requireAscending(indexes);
    requireIndexBelow(indexes.back(), countOfAvailablePorts());
    PortList& list = *availablePorts_;
    Change change;
    change.kind = Change::Kind::removal;
    change.indexes = indexes;
    for (std::size_t index : indexes) {
        change.oldValues.push_back(list[index]);
    }
    for (auto index = indexes.rbegin(); index != indexes.rend(); ++index) {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(*index));
    }
    announce(change);
}

// --- Arrivals and removals ---------------------------------------------------------------

void KESSerialPortManager::serialPortsWerePublished(DeviceIterator& iterator) {
    DCCCAB_ASSERT_MAIN_THREAD();
    PortList added;
    while (const DeviceHandle device = iterator.next()) {
        auto port = KESSerialPort::serialPortWithDevice(device);
        // A device reported twice in one batch is still listed only once.
        if (port && !contains(availablePorts_.value_or(PortList{}), *port) &&
            !contains(added, *port)) {
            added.push_back(std::move(port));
        }
    }
    std::vector<std::size_t> indexes;
    for (std::size_t i = 0; i < added.size(); ++i) {
        indexes.push_back(countOfAvailablePorts() + i);
    }
    insertAvailablePortsAtIndexes(added, indexes);
    NotificationCenter::defaultCenter().postNotificationName(
        KESSerialPortsWereConnectedNotification, this, {{KESConnectedSerialPortsKey, added}});
}

void KESSerialPortManager::serialPortsWereTerminated(DeviceIterator& iterator) {
    DCCCAB_ASSERT_MAIN_THREAD();
    PortList gone;
    while (const DeviceHandle device = iterator.next()) {
        if (auto port = KESSerialPort::serialPortWithDevice(device)) {
            gone.push_back(std::move(port));
        }
    }
    for (const auto& port : gone) {
        port->cleanup();
    }
    std::vector<std::size_t> indexes;
    for (std::size_t i = 0; i < countOfAvailablePorts(); ++i) {
        if (contains(gone, *(*availablePorts_)[i])) {
            indexes.push_back(i);
        }
    }
    removeAvailablePortsAtIndexes(indexes);
    NotificationCenter::defaultCenter().postNotificationName(
        KESSerialPortsWereDisconnectedNotification, this, {{KESDisconnectedSerialPortsKey, gone}});
}

// --- Termination, sleep and wake ---------------------------------------------------------

void KESSerialPortManager::applicationWillTerminate() {
    DCCCAB_ASSERT_MAIN_THREAD();
    const PortList ports = availablePorts_.value_or(PortList{});
    for (const auto& port : ports) {
        port->cleanup();
    }
    setAvailablePorts(std::nullopt);
    // Nothing is listed any more, so no device event may list a port again while quitting.
    setPortPublishedNotificationIterator(nullptr);
    setPortTerminatedNotificationIterator(nullptr);
}

void KESSerialPortManager::setPortsToReopenAfterSleep(PortList ports) {
    portsToReopenAfterSleep_ = std::move(ports);
}

void KESSerialPortManager::systemWillSleep(const Notification&) {
    DCCCAB_ASSERT_MAIN_THREAD();
    // A copy: the closed callbacks run inside close and may change the list.
    const PortList ports = availablePorts_.value_or(PortList{});
    for (const auto& port : ports) {
        if (port->isOpen() && port->close()) {
            portsToReopenAfterSleep().push_back(port);
        }
    }
}

void KESSerialPortManager::systemDidWake(const Notification&) {
    DCCCAB_ASSERT_MAIN_THREAD();
    const PortList snapshot = portsToReopenAfterSleep();
    for (const auto& port : snapshot) {
        port->open();
        auto& waiting = portsToReopenAfterSleep();
        waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                     [&](const auto& other) { return other->isEqual(*port); }),
                      waiting.end());
    }
}
