#include "KESSerialPortDemoController.h"

#include "Button.h"
#include "DesktopNotifier.h"
#include "KESSerialPort.h"
#include "KESSerialPortErrorKind.h"
#include "LocalizedString.h"
#include "Log.h"
#include "MainQueue.h"
#include "Notification.h"
#include "NotificationCenter.h"
#include "TextField.h"
#include "TextView.h"

#include <cerrno>
#include <cstdio>

namespace {

constexpr const char* observeMethodName =
    "-[KESSerialPortDemoController observeValueForKeyPath:ofObject:change:context:]";

constexpr const char* connectedTitle = "Serial Port Connected";
constexpr const char* connectedFormat = "Serial Port %@ was connected to your Mac.";
constexpr const char* disconnectedTitle = "Serial Port Disconnected";
constexpr const char* disconnectedFormat = "Serial Port %@ was disconnected from your Mac.";

// A list of ports as the log shows it: their names, in order.
std::string describe(const std::vector<std::shared_ptr<KESSerialPort>>& ports) {
    std::string text = "(";
    for (const auto& port : ports) {
        text += (text.size() > 1 ? ", " : "") + (port ? port->description() : "(null)");
    }
    return text + ")";
}

std::string fill(const std::string& format, const std::string& value) {
    std::string text = format;
    if (auto at = text.find("%@"); at != std::string::npos) {
        text.replace(at, 2, value);
    }
    return text;
}

// How a list change reads in the log: its kind (1 setting, 2 insertion, 3 removal, as key-value
// observation numbers them), the indexes and the old and new elements, keys in alphabetical order.
std::string describe(const KESSerialPortManager::Change& change) {
    using Kind = KESSerialPortManager::Change::Kind;
    std::string indexes = "(";
    for (std::size_t index : change.indexes) {
        indexes += (indexes.size() > 1 ? ", " : "") + std::to_string(index);
    }
    indexes += ")";
    switch (change.kind) {
    case Kind::insertion:
        return "{indexes = " + indexes + "; kind = 2; new = " + describe(change.newValues) + "}";
    case Kind::removal:
        return "{indexes = " + indexes + "; kind = 3; old = " + describe(change.oldValues) + "}";
    case Kind::replacement:
        break;
    }
    return "{kind = 1; new = " + (change.hasNew ? describe(change.newValues) : "<null>") +
           "; old = " + (change.hadOld ? describe(change.oldValues) : "<null>") + "}";
}

// How the device is known again after it was unplugged: its stable by-id link where it has one
// (the node name may change when it returns), else its node.
std::string identityOf(const KESSerialPort& port) {
    if (const DeviceHandle device = port.IOKitDevice()) {
        if (auto link = KESSerialPort::bsdDialinPathFromDevice(device); link && !link->empty()) {
            return *link;
        }
    }
    return port.path();
}

// The ports a connected or disconnected notification carries under key; none when it has none.
const KESSerialPortManager::PortList& portsIn(const Notification& notification, const char* key) {
    static const KESSerialPortManager::PortList none;
    const auto* ports = notification.userInfoValue<KESSerialPortManager::PortList>(key);
    return ports != nullptr ? *ports : none;
}

std::string rateText(const KESSerialPort& port) {
    return std::to_string(port.baudRate().value_or(0)) + " bit/s";
}

} // namespace

const std::vector<std::uint64_t>& KESSerialPortDemoController::standardBaudRates() {
    static const std::vector<std::uint64_t> rates{300,   1200,  2400,  4800,  9600,   14400,
                                                  19200, 28800, 38400, 57600, 115200, 230400};
    return rates;
}

KESSerialPortDemoController::KESSerialPortDemoController() {
    start(KESSerialPortManager::sharedSerialPortManager());
}

KESSerialPortDemoController::KESSerialPortDemoController(KESSerialPortManager& manager) {
    start(manager);
}

void KESSerialPortDemoController::start(KESSerialPortManager& manager) {
    DCCCAB_ASSERT_MAIN_THREAD();
    setSerialPortManager(&manager);
    setAvailableBaudRates(standardBaudRates());
    auto& center = NotificationCenter::defaultCenter();
    notificationSubscriptions_.push_back(center.addObserverForName(
        KESSerialPortsWereConnectedNotification, nullptr,
        [this](const Notification& notification) { serialPortsWereConnected(notification); }));
    notificationSubscriptions_.push_back(center.addObserverForName(
        KESSerialPortsWereDisconnectedNotification, nullptr,
        [this](const Notification& notification) { serialPortsWereDisconnected(notification); }));
    if (DesktopNotifier* notifier = DesktopNotifier::defaultUserNotificationCenter()) {
        notifier->setDelegate(this);
    }
    describePortState();
}

KESSerialPortDemoController::~KESSerialPortDemoController() {
    withdrawals_.clear();
    baudRateObservation_.reset();
    notificationSubscriptions_.clear();
    portListObservation_.reset();
    if (DesktopNotifier* notifier = DesktopNotifier::defaultUserNotificationCenter();
        notifier != nullptr && notifier->delegate() == this) {
        notifier->setDelegate(nullptr);
    }
    if (serialPort_ && serialPort_->delegate() == this) {
        serialPort_->setDelegate(nullptr);
    }
}

// --- Outlets and properties --------------------------------------------------------------------

void KESSerialPortDemoController::setReceivedDataTextView(TextView* view) {
    receivedDataTextView_ = view;
    if (view != nullptr) {
        view->setMaximumLineCount(scrollbackLines_);
    }
}

void KESSerialPortDemoController::setSerialPortManager(KESSerialPortManager* manager) {
    if (manager == serialPortManager_) {
        return;
    }
    portListObservation_.reset();
    serialPortManager_ = manager;
    if (manager != nullptr) {
        portListObservation_ = manager->addChangeObserver(
            "availablePorts", [this, manager](std::string_view key, const std::any& change) {
                observeValueForKeyPathOfObjectChangeContext(key, *manager, change, nullptr);
            });
    }
    didChangeValueForKey("serialPortManager");
}

void KESSerialPortDemoController::setSerialPort(std::shared_ptr<KESSerialPort> port) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (port == serialPort_) {
        return;
    }
    keepOpen_ = false;
    // The old port stays chosen while it closes: its serialPortWasClosed comes back here.
    if (const std::shared_ptr<KESSerialPort> old = serialPort_) {
        old->close();
        if (old->delegate() == this) {
            old->setDelegate(nullptr);
        }
    }
    serialPort_ = port;
    decoder_.reset();
    problem_.clear();
    reconnected_ = false;
    baudRateObservation_.reset();
    if (port) {
        awaitedPort_.reset();
        port->setDelegate(this);
        baudRateObservation_ =
            port->addObserver("baudRate", [this](std::string_view) { describePortState(); });
    }
    didChangeValueForKey("serialPort");
    describePortState();
}

void KESSerialPortDemoController::setAvailableBaudRates(std::vector<std::uint64_t> rates) {
    availableBaudRates_ = std::move(rates);
    didChangeValueForKey("availableBaudRates");
}

void KESSerialPortDemoController::setReconnectsAfterReplug(bool reconnects) {
    reconnectsAfterReplug_ = reconnects;
    if (!reconnects) {
        awaitedPort_.reset();
    }
    didChangeValueForKey("reconnectsAfterReplug");
}

void KESSerialPortDemoController::setScrollbackLines(std::size_t lines) {
    scrollbackLines_ = lines;
    if (receivedDataTextView_ != nullptr) {
        receivedDataTextView_->setMaximumLineCount(lines);
    }
}

void KESSerialPortDemoController::setStatusText(std::string text) {
    statusText_ = std::move(text);
    didChangeValueForKey("statusText");
}

void KESSerialPortDemoController::describePortState() {
    std::string state;
    if (!serialPort_) {
        state = "No port chosen";
    } else if (serialPort_->isOpen()) {
        state = serialPort_->name() + " is open at " + rateText(*serialPort_);
        if (reconnected_) {
            state += ", opened again after it was plugged back in";
        }
    } else {
        state = serialPort_->name() + " is closed";
    }
    setStatusText(problem_.empty() ? state : state + ". " + problem_);
}

void KESSerialPortDemoController::reportProblem(std::string problem) {
    problem_ = std::move(problem);
    describePortState();
}

// --- Actions -------------------------------------------------------------------------------------

void KESSerialPortDemoController::send(const void*) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!serialPort_ || sendTextField_ == nullptr) {
        return;
    }
    const std::string text = sendTextField_->stringValue();
    serialPort_->sendData(Bytes(text.begin(), text.end()));
}

void KESSerialPortDemoController::openOrClosePort(const void*) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!serialPort_) {
        return;
    }
    const std::shared_ptr<KESSerialPort> port = serialPort_;
    reconnected_ = false;
    if (port->isOpen()) {
        keepOpen_ = false;
        port->close();
    } else {
        port->open();
    }
}

// --- Port delegate -------------------------------------------------------------------------------

void KESSerialPortDemoController::serialPortWasOpened(KESSerialPort&) {
    if (openCloseButton_ != nullptr) {
        openCloseButton_->setTitle("Close");
    }
    keepOpen_ = true;
    decoder_.reset();
    problem_.clear();
    describePortState();
}

void KESSerialPortDemoController::serialPortWasClosed(KESSerialPort&) {
    if (openCloseButton_ != nullptr) {
        openCloseButton_->setTitle("Open");
    }
    decoder_.reset();
    describePortState();
}

void KESSerialPortDemoController::serialPortDidReceiveData(KESSerialPort&, const Bytes& data) {
    const std::string text = decoder_.decode(data);
    if (text.empty() || receivedDataTextView_ == nullptr) {
        return;
    }
    receivedDataTextView_->appendString(text);
    receivedDataTextView_->setNeedsDisplay();
}

void KESSerialPortDemoController::serialPortWasRemovedFromSystem(KESSerialPort& port) {
    AwaitedPort awaited;
    awaited.identity = identityOf(port);
    awaited.name = port.name();
    awaited.reopen = keepOpen_ && &port == serialPort_.get();
    awaited.baudRate = port.baudRate();
    awaited.numberOfStopBits = port.numberOfStopBits();
    awaited.parity = port.parity();
    awaited.shouldEchoReceivedData = port.shouldEchoReceivedData();
    awaited.usesRTSCTSFlowControl = port.usesRTSCTSFlowControl();
    awaited.usesDTRDSRFlowControl = port.usesDTRDSRFlowControl();
    awaited.usesDCDOutputFlowControl = port.usesDCDOutputFlowControl();

    setSerialPort(nullptr);
    if (openCloseButton_ != nullptr) {
        openCloseButton_->setTitle("Open");
    }
    if (reconnectsAfterReplug_) {
        awaitedPort_ = awaited;
        reportProblem(awaited.name + " was unplugged; it is chosen again when it comes back");
    } else {
        reportProblem(awaited.name + " was unplugged; plug it back in and choose it");
    }
}

void KESSerialPortDemoController::serialPortDidEncounterError(KESSerialPort& port,
                                                              const PosixError& error) {
    Log::line("Serial port " + port.description() + " encountered an error: Error Domain=" +
              error.domain() + " Code=" + std::to_string(error.code()) + " \"" +
              error.localizedDescription() + "\" " + error.filePath());
    if (&port != serialPort_.get()) {
        return;
    }
    const std::string name = port.name();
    switch (classifySerialError(error.code())) {
    case KESSerialPortErrorKind::inUse:
        reportProblem(name + " is in use by another program; close it and try again");
        return;
    case KESSerialPortErrorKind::noPermission:
        reportProblem("No permission to use " + name +
                      ": add your user to the 'dialout' group and log in again");
        return;
    case KESSerialPortErrorKind::deviceGone:
        reportProblem(name + " has gone: it was unplugged or its line hung up");
        return;
    case KESSerialPortErrorKind::noSuchDevice:
        reportProblem(name + " is not there any more; plug it back in or choose another port");
        return;
    case KESSerialPortErrorKind::notATerminal:
        reportProblem(name + " is not a serial port; choose another port");
        return;
    case KESSerialPortErrorKind::other:
        break;
    }
    if (error.code() == EINVAL) {
        reportProblem(name + " does not take these settings (" + rateText(port) +
                      "); choose another rate");
    } else {
        reportProblem(name + ": " + error.localizedDescription());
    }
}

// --- The manager's notifications and list --------------------------------------------------------

void KESSerialPortDemoController::serialPortsWereConnected(const Notification& notification) {
    const KESSerialPortManager::PortList& list = portsIn(notification, KESConnectedSerialPortsKey);
    Log::line("Ports were connected: " + describe(list));
    postUserNotificationForConnectedPorts(list);
    takeBackReturningPort(list);
}

void KESSerialPortDemoController::serialPortsWereDisconnected(const Notification& notification) {
    const KESSerialPortManager::PortList& list =
        portsIn(notification, KESDisconnectedSerialPortsKey);
    Log::line("Ports were disconnected: " + describe(list));
    postUserNotificationForDisconnectedPorts(list);
}

void KESSerialPortDemoController::takeBackReturningPort(
    const KESSerialPortManager::PortList& ports) {
    if (!awaitedPort_ || !reconnectsAfterReplug_ || serialPort_) {
        return;
    }
    for (const auto& port : ports) {
        if (!port || identityOf(*port) != awaitedPort_->identity) {
            continue;
        }
        const AwaitedPort awaited = *awaitedPort_;
        setSerialPort(port);
        port->setBaudRate(awaited.baudRate);
        port->setNumberOfStopBits(awaited.numberOfStopBits);
        port->setParity(awaited.parity);
        port->setShouldEchoReceivedData(awaited.shouldEchoReceivedData);
        port->setUsesRTSCTSFlowControl(awaited.usesRTSCTSFlowControl);
        port->setUsesDTRDSRFlowControl(awaited.usesDTRDSRFlowControl);
        port->setUsesDCDOutputFlowControl(awaited.usesDCDOutputFlowControl);
        reconnected_ = true;
        if (awaited.reopen) {
            reportProblem(port->name() + " is back; opening it again");
            port->open();
        } else {
            reportProblem(port->name() + " is back and chosen again");
        }
        return;
    }
}

void KESSerialPortDemoController::observeValueForKeyPathOfObjectChangeContext(
    std::string_view keyPath, const KESSerialPortManager& object, const std::any& change, void*) {
    char manager[64];
    std::snprintf(manager, sizeof manager, "<KESSerialPortManager: %p>",
                  static_cast<const void*>(&object));
    Log::line(std::string(observeMethodName) + " " + manager + " " + std::string(keyPath));
    const auto* record = std::any_cast<KESSerialPortManager::Change>(&change);
    Log::line("Change dictionary: " + (record != nullptr ? describe(*record) : "{kind = 1}"));
}

// --- Desktop notifications -----------------------------------------------------------------------

void KESSerialPortDemoController::postUserNotificationForConnectedPorts(
    const KESSerialPortManager::PortList& ports) {
    postUserNotifications(ports, connectedTitle, connectedFormat);
}

void KESSerialPortDemoController::postUserNotificationForDisconnectedPorts(
    const KESSerialPortManager::PortList& ports) {
    postUserNotifications(ports, disconnectedTitle, disconnectedFormat);
}

void KESSerialPortDemoController::postUserNotifications(const KESSerialPortManager::PortList& ports,
                                                        const std::string& title,
                                                        const std::string& format) {
    DesktopNotifier* center = DesktopNotifier::defaultUserNotificationCenter();
    if (center == nullptr) {
        return;
    }
    for (const auto& port : ports) {
        UserNotification notification;
        notification.title = localizedStringForKey(title);
        notification.informativeText = fill(localizedStringForKey(format), port->name());
        center->deliverNotification(notification);
    }
}

bool KESSerialPortDemoController::userNotificationCenterShouldPresentNotification(
    DesktopNotifier&, const UserNotification&) {
    return true;
}

void KESSerialPortDemoController::userNotificationCenterDidDeliverNotification(
    DesktopNotifier& center, const UserNotification& notification) {
    const std::uint64_t key = nextWithdrawal_++;
    withdrawals_.emplace(
        key, MainQueue::shared().after(notificationLifetime_, [this, key, &center, notification] {
            center.removeDeliveredNotification(notification);
            withdrawals_.erase(key);
        }));
}
