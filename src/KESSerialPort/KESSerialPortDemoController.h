#pragma once

#include "DesktopNotifierDelegate.h"
#include "KESSerialPortDelegate.h"
#include "KESSerialPortManager.h"
#include "KESSerialPortParity.h"
#include "Observable.h"
#include "Subscription.h"
#include "Utf8StreamDecoder.h"

#include <any>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Button;
class KESSerialPort;
class TextField;
class TextView;
struct Notification;

// The controller of the serial-port panel: the operator picks one of the manager's ports and a baud
// rate, opens and closes it with one button, types text that goes out raw and watches what comes
// back. It is the chosen port's delegate, keeps the button's title in step with the port, lets a
// port go whose device was unplugged (and takes it back, reopened, when the same device returns),
// and turns the manager's connected and disconnected notifications into desktop notifications.
//
// The controls are outlets: interfaces the window (or a test, or the headless mode) implements and
// connects; the controller never makes controls and holds no toolkit type. What the window shows
// beyond them (the port and rate choosers, the status line) it binds to the observable keys below.
//
// Threading: main thread only, like everything it hears from (port callbacks, the manager's list
// changes and notifications, desktop-notifier callbacks, the delayed withdrawals).
//
// Ownership: the controller owns its chosen port and holds the manager without owning it (the
// shared manager is never destroyed; a test's must outlive the controller). Outlets are not owned:
// whoever connects them keeps them alive until they are disconnected or the controller is gone.
// Destruction ends every subscription, withdraws nothing, and clears its port's and the notifier's
// delegate where that is this controller.
//
// Observable keys: "serialPortManager", "serialPort", "availableBaudRates", "statusText",
// "reconnectsAfterReplug".
class KESSerialPortDemoController : public KESSerialPortDelegate,
                                    public DesktopNotifierDelegate,
                                    public Observable {
public:
    // The rates offered to the operator, in bits per second.
    static const std::vector<std::uint64_t>& standardBaudRates();
    // How many lines the received-data view keeps by default.
    static constexpr std::size_t defaultScrollbackLines = 10000;
    // How long a delivered desktop notification stays before it is withdrawn.
    static constexpr std::chrono::milliseconds defaultNotificationLifetime{3000};

    // Starts with the shared manager (made now if it was not yet).
    KESSerialPortDemoController();
    // Starts with manager, which must outlive the controller; for tests.
    explicit KESSerialPortDemoController(KESSerialPortManager& manager);
    ~KESSerialPortDemoController() override;
    KESSerialPortDemoController(const KESSerialPortDemoController&) = delete;
    KESSerialPortDemoController& operator=(const KESSerialPortDemoController&) = delete;

    // Called once the window (or whatever stands for it) has connected the outlets and before it
    // shows: the place to fill the controls. The panel has nothing to fill; the cab controller
    // lists its packets here.
    virtual void awakeFromNib() {}

    // --- Outlets ---------------------------------------------------------------------------------

    TextField* sendTextField() const { return sendTextField_; }
    void setSendTextField(TextField* field) { sendTextField_ = field; }
    // Connecting a view gives it the scrollback limit.
    TextView* receivedDataTextView() const { return receivedDataTextView_; }
    void setReceivedDataTextView(TextView* view);
    Button* openCloseButton() const { return openCloseButton_; }
    void setOpenCloseButton(Button* button) { openCloseButton_ = button; }

    // --- Properties ------------------------------------------------------------------------------

    KESSerialPortManager* serialPortManager() const { return serialPortManager_; }
    // Observes the new manager's "availablePorts" (and stops observing the old one's); setting
    // the manager already held does nothing.
    void setSerialPortManager(KESSerialPortManager* manager);

    const std::shared_ptr<KESSerialPort>& serialPort() const { return serialPort_; }
    // Chooses port (null: none). The old port is closed (its serialPortWasClosed reaches this
    // controller before this returns, if it was open) and let go; this controller becomes the new
    // port's delegate. Opening is left to the operator. Choosing the port already chosen does
    // nothing.
    virtual void setSerialPort(std::shared_ptr<KESSerialPort> port);

    const std::vector<std::uint64_t>& availableBaudRates() const { return availableBaudRates_; }
    void setAvailableBaudRates(std::vector<std::uint64_t> rates);

    // One line for the status bar: the chosen port's state, or the last thing that went wrong, in
    // words that say what to do.
    const std::string& statusText() const { return statusText_; }

    // Whether the chosen port is taken back (and reopened, if it was open) when its unplugged
    // device returns. On by default.
    bool reconnectsAfterReplug() const { return reconnectsAfterReplug_; }
    void setReconnectsAfterReplug(bool reconnects);

    // Lines the received-data view keeps (0: no limit); applied to the connected view at once.
    std::size_t scrollbackLines() const { return scrollbackLines_; }
    void setScrollbackLines(std::size_t lines);

    // How long after delivery a desktop notification is withdrawn.
    std::chrono::milliseconds notificationLifetime() const { return notificationLifetime_; }
    void setNotificationLifetime(std::chrono::milliseconds lifetime) {
        notificationLifetime_ = lifetime;
    }

    // --- Actions (sent by the window's controls; the sender is not used) -------------------------

    // Sends the send field's text, as UTF-8, raw: no line ending, the field is not cleared.
    // Nothing without a chosen port or a field.
    void send(const void* sender);
    // Closes the chosen port if it is open, else opens it. The button is retitled only when the
    // port reports the outcome. Nothing without a chosen port.
    void openOrClosePort(const void* sender);

    // --- KESSerialPortDelegate -------------------------------------------------------------------

    void serialPortWasOpened(KESSerialPort& port) override;
    void serialPortWasClosed(KESSerialPort& port) override;
    // Appends the text the bytes make to the received-data view. A character split between two
    // chunks shows once, whole; bytes that can never be UTF-8 show as U+FFFD.
    void serialPortDidReceiveData(KESSerialPort& port, const Bytes& data) override;
    void serialPortWasRemovedFromSystem(KESSerialPort& port) override;
    void serialPortDidEncounterError(KESSerialPort& port, const PosixError& error) override;

    // --- The manager's notifications and list
    // ------------------------------------------------------

    void serialPortsWereConnected(const Notification& notification);
    void serialPortsWereDisconnected(const Notification& notification);
    // Logs every change of the observed manager's "availablePorts" in two lines.
    void observeValueForKeyPathOfObjectChangeContext(std::string_view keyPath,
                                                     const KESSerialPortManager& object,
                                                     const std::any& change, void* context);

    // --- Desktop notifications
    // ---------------------------------------------------------------------

    // One notification per port, in list order; nothing without a desktop notifier.
    void postUserNotificationForConnectedPorts(const KESSerialPortManager::PortList& ports);
    void postUserNotificationForDisconnectedPorts(const KESSerialPortManager::PortList& ports);

    bool
    userNotificationCenterShouldPresentNotification(DesktopNotifier& center,
                                                    const UserNotification& notification) override;
    // Withdraws notification from center once notificationLifetime has passed (unless this
    // controller is gone by then).
    void
    userNotificationCenterDidDeliverNotification(DesktopNotifier& center,
                                                 const UserNotification& notification) override;

protected:
    void setStatusText(std::string text);
    // Shows problem (in words that say what to do) after the port's state on the status line,
    // until the port opens, another port is chosen or another problem is reported; an empty one
    // clears it.
    void reportProblem(std::string problem);

private:
    // What is kept of a chosen port whose device was unplugged, to know it again when it returns.
    struct AwaitedPort {
        std::string identity;
        std::string name;
        bool reopen = false;
        // The line settings it had, given to the returning port.
        std::optional<std::uint64_t> baudRate;
        std::uint64_t numberOfStopBits = 1;
        KESSerialPortParity parity = KESSerialPortParityNone;
        bool shouldEchoReceivedData = false;
        bool usesRTSCTSFlowControl = false;
        bool usesDTRDSRFlowControl = false;
        bool usesDCDOutputFlowControl = false;
    };

    void start(KESSerialPortManager& manager);
    void postUserNotifications(const KESSerialPortManager::PortList& ports,
                               const std::string& title, const std::string& format);
    void takeBackReturningPort(const KESSerialPortManager::PortList& ports);
    void describePortState();

    TextField* sendTextField_ = nullptr;
    TextView* receivedDataTextView_ = nullptr;
    Button* openCloseButton_ = nullptr;
    KESSerialPortManager* serialPortManager_ = nullptr;
    std::shared_ptr<KESSerialPort> serialPort_;
    std::vector<std::uint64_t> availableBaudRates_;
    std::string statusText_;
    bool reconnectsAfterReplug_ = true;
    std::size_t scrollbackLines_ = defaultScrollbackLines;
    std::chrono::milliseconds notificationLifetime_ = defaultNotificationLifetime;

    Utf8StreamDecoder decoder_;
    // The chosen port was open and the operator has not closed it since: if it vanishes now, it
    // is reopened when it returns.
    bool keepOpen_ = false;
    std::optional<AwaitedPort> awaitedPort_;
    // The last thing that went wrong with the chosen port, in words; shown after its state until
    // it opens or another port is chosen.
    std::string problem_;
    // The chosen port came back after a replug and was taken again by this controller.
    bool reconnected_ = false;

    Subscription portListObservation_;
    // The chosen port's rate, which the status line shows.
    Subscription baudRateObservation_;
    std::vector<Subscription> notificationSubscriptions_;
    // Pending withdrawals, each taken out once it has run; declared last, so they end first.
    std::map<std::uint64_t, Subscription> withdrawals_;
    std::uint64_t nextWithdrawal_ = 0;
};
