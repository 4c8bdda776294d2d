#pragma once

#include "QtButton.h"
#include "QtPopUpButton.h"
#include "QtTextField.h"
#include "QtTextView.h"
#include "QtThrottledLabel.h"
#include "QtValueControl.h"
#include "StationKind.h"
#include "Subscription.h"
#include "WindowSettings.h"

#include <QMainWindow>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class BuiltInStation;
class DCCController;
class FunctionPanel;
class KESSerialPort;
class LocomotiveList;
class PhoneThrottleDialog;
class PhoneThrottleService;
class QAction;
class QComboBox;
class QKeyEvent;
class QLabel;
class QPushButton;

namespace Ui {
class MainWindow;
}

// The program's one window, laid out in MainWindow.ui: the port row (the port chooser, the
// baud-rate chooser, the Open/Close button); on the left the locomotives in use (LocomotiveList),
// the simulated track and the received-data view with the send field; in the middle the throttle;
// on the right the function buttons F0 to F28 (FunctionPanel); the menus and the status bar.
//
// Made with the cab it shows: it connects the cab's outlets to its own controls (through the Qt
// adapters), sends the controls' actions to it, and follows what the cab and its manager
// announce. The port panel: the manager's "availablePorts" and the cab's "serialPort" (the port
// chooser), the chosen port's "baudRate" and "isOpen" (the baud-rate chooser, the Open/Close menu
// item), "statusText" (the status bar) and "reconnectsAfterReplug" (its menu item). Choosing a
// port calls setSerialPort; choosing or typing a rate (digits only) sets the chosen port's
// baudRate. The throttle shows the cab's shown locomotive: "locoAddress" (the address field, which
// takes a typed address only on Enter and passes any number of up to five digits to the cab, which
// refuses those out of range; it then shows the address in force), "roster" (the roster chooser,
// which shows a named locomotive by its address), "speedMode" (the step-mode chooser, which is the
// addressModeButton outlet), "locoSpeed" (the speed slider, whose adapter is the sender of
// sendSpeedChange), "currentSpeedStep" (the step shown above it), "locoDirection" (the direction
// button's title), "emergencyStopped" (the EMERGENCY STOP sign), "functions" (the function
// buttons), "portIsOpen" and "stationIsAnswering" (the track line), "sentPacketString" and
// "speedPacketTypeString" (the lines below the received data). Following a property never sends
// anything back: the controls' own signals are blocked while the window sets them, and the
// choosers send only on the operator's choice.
//
// The throttle's keys (see keyAction) act wherever the focus is in this window, except in the
// send field, where they type as usual, and in the other text fields (the address field, the
// baud rate), where the digits type; Escape, the emergency stop, acts everywhere. They are taken
// by an event filter on the application before any control sees them, so no control's own
// handling of the key (a button's Space, a slider's arrows) runs as well. Keys with Ctrl, Alt or
// Meta held, and keys in other windows (dialogs, open pop-up lists), are left alone. A function
// key works its function like its button: pressed on the key's press, released on its release;
// the keyboard's repeats of a held key do nothing.
//
// The station chooser beside the port says which kind of command station is on the chosen port;
// the choice is remembered per port (the last one for a port applies again whenever it is
// chosen), proposes the station's usual line settings, and gives the cab the station's protocol
// ("stationKind"). While the simulated station is the chosen port, it simulates the kind chosen.
// The Power button (and Locomotives > Track Power On/Off, Ctrl+Shift+P) switches track power and
// shows the station's report ("trackPower"); it is greyed where the station has no power command
// (the board). The status bar shows the station's
// version ("stationVersion") and power. Options > Refresh locomotives on the board switches the
// cab's refresh for the board ("refreshesBoard").
//
// Locomotives > Roster... edits the cab's roster in a RosterDialog; OK gives it to the cab and
// saves it with RosterFile (a failure is shown in a message box). The Diagnostics menu holds
// Dump, Info and Test Dispatcher.
//
// Ctrl+Q quits the application (QCoreApplication::quit); what happens then is the application's
// business (see DCCCabApplication), which also restores and saves the window's settings.
//
// Main thread only. The cab, and the manager it holds, must outlive the window. The window's
// subscriptions are members and end with it; its destructor disconnects the outlets it connected,
// so the cab never reaches a control that has gone.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // What a throttle key does.
    enum class KeyAction {
        none,
        stop,
        emergencyStop,
        stepUp,
        stepDown,
        pageUp,
        pageDown,
        direction,
        function // see functionOfKey
    };

    // station, if given, is offered in the port chooser after the machine's ports, as "Simulated
    // command station"; choosing it starts it. While its port is the chosen one, the window shows
    // the board's view of the track. The station must outlive the window.
    explicit MainWindow(DCCController& controller, BuiltInStation* station = nullptr,
                        QWidget* parent = nullptr);
    ~MainWindow() override;

    // The throttle action of key pressed with modifiers; none for every other key. Keys of the
    // keypad count as the same keys.
    static KeyAction keyAction(int key, Qt::KeyboardModifiers modifiers);
    // The function a function key works (0 to 9 for the digits, 0 for L); -1 for other keys.
    static int functionOfKey(int key);
    // The throttle's keys, one line each, as the Help menu shows them.
    static QString keysText();

    // What the port chooser shows for port: its name, then the maker and the model where the
    // device registry knows them.
    static QString titleOfPort(const KESSerialPort& port);
    // The rate typed into the baud-rate chooser; none when it is not a positive number.
    static std::optional<std::uint64_t> baudRateFromText(const QString& text);

    // The settings of this window as it stands: the chosen port (the simulated station by
    // WindowSettings::simulatedPortKey), its rate, the reconnect option, the window's size, place
    // and maximised state, and the shown locomotive's address.
    WindowSettings settings() const;
    // Takes the size, place (where a screen shows it), maximised state and reconnect option of
    // settings; the port, rate and address are the application's to restore. Call before show.
    void restoreSettings(const WindowSettings& settings);
    // Says problem in the status bar, beside the port's state, until it is dealt with (the
    // roster saved) or replaced; an empty one clears it.
    void showProblem(const QString& problem);

    // Edits the roster in a RosterDialog; OK gives the cab the result and saves it.
    void editRoster();

    // The kind of command station on the chosen port, as if chosen in the station chooser.
    void chooseStationKind(StationKind kind);

    // Offers phone throttles: Options > Phone Throttles (WiThrottle)... and the phones' line in
    // the status bar. The service must outlive the window; null: none offered (the default).
    void setPhoneThrottles(PhoneThrottleService* service);
    void showPhoneThrottles();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectOutlets();
    void wireActions();
    void followController();

    void showAvailablePorts();
    void showChosenPort();
    void showBaudRate();
    void showOpenState();
    void choosePortAt(int index);
    void chooseBaudRate(const QString& text);
    void showAbout();
    void showKeys();

    void followThrottle();
    void takeTypedAddress();
    void showAddress();
    void showRoster();
    void chooseRosterEntry(int index);
    void showDirection();
    void showEmergencyStop();
    void showSpeed();
    void showSpeedStep();
    void showSentPacket();
    void showSpeedPacketType();
    void showTrack();
    void showSimulatedTrack();
    void buildStationControls();
    // The cab takes the kind remembered for the chosen port (the board if none).
    void applyStationKindOfChosenPort();
    void showStationKind();
    void showTrackPower();
    QString keyOfChosenPort() const;
    // Whether the key event is one of the throttle's for this window, and if so acts on it.
    bool takeThrottleKey(QObject* watched, const QKeyEvent& event);
    void act(KeyAction action, int function, bool pressed);

    DCCController& controller_;
    BuiltInStation* station_ = nullptr;
    std::unique_ptr<Ui::MainWindow> ui_;
    QLabel* statusLine_ = nullptr;
    QLabel* problemLine_ = nullptr;
    std::unique_ptr<QtTextView> receivedDataTextView_;
    std::unique_ptr<QtTextField> sendTextField_;
    std::unique_ptr<QtButton> openCloseButton_;
    std::unique_ptr<QtPopUpButton> addressModeButton_;
    std::unique_ptr<QtValueControl> speedControl_;
    std::unique_ptr<QtButton> directionButton_;
    // Owned by the window's widgets.
    FunctionPanel* functionPanel_ = nullptr;
    std::unique_ptr<LocomotiveList> locomotiveList_;
    // Labels that change with every frame.
    std::unique_ptr<QtThrottledLabel> sentPacketLabel_;
    std::unique_ptr<QtThrottledLabel> simulatedTrackLabel_;
    QComboBox* stationChooser_ = nullptr;
    QPushButton* powerButton_ = nullptr;
    QLabel* stationLine_ = nullptr;
    QAction* refreshAction_ = nullptr;
    QAction* powerAction_ = nullptr;
    PhoneThrottleService* phones_ = nullptr;
    PhoneThrottleDialog* phonesDialog_ = nullptr;
    QLabel* phonesLine_ = nullptr;
    Subscription phonesObservation_;
    std::map<QString, QString> stationKinds_;
    // The ports the chooser lists, in its order.
    std::vector<std::shared_ptr<KESSerialPort>> listedPorts_;

    Subscription portListObservation_;
    Subscription chosenPortObservation_;
    Subscription statusObservation_;
    Subscription reconnectObservation_;
    // On the chosen port; replaced whenever another port is chosen.
    Subscription baudRateObservation_;
    Subscription openStateObservation_;

    Subscription addressObservation_;
    Subscription speedModeObservation_;
    Subscription speedObservation_;
    Subscription speedStepObservation_;
    Subscription sentPacketObservation_;
    Subscription speedPacketTypeObservation_;
    Subscription portIsOpenObservation_;
    Subscription stationAnsweringObservation_;
    Subscription directionObservation_;
    Subscription emergencyStopObservation_;
    Subscription rosterObservation_;
    Subscription simulatedTrackObservation_;
    Subscription stationKindObservation_;
    Subscription trackPowerObservation_;
    Subscription stationVersionObservation_;
    Subscription refreshObservation_;
};
