#pragma once

#include "QtButton.h"
#include "QtPopUpButton.h"
#include "QtTextField.h"
#include "QtTextView.h"
#include "QtThrottledLabel.h"
#include "QtValueControl.h"
#include "Subscription.h"

#include <QMainWindow>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class BuiltInStation;
class DCCController;
class KESSerialPort;
class QKeyEvent;
class QLabel;

namespace Ui {
class MainWindow;
}

// The program's one window, laid out in MainWindow.ui: the port panel (the port chooser, the
// baud-rate chooser, the Open/Close button, the received-data view, the send field with its Send
// button), the throttle beside it, the menus and the status bar.
//
// Made with the cab it shows: it connects the cab's outlets to its own controls (through the Qt
// adapters), sends the controls' actions to it, and follows what the cab and its manager
// announce. The port panel: the manager's "availablePorts" and the cab's "serialPort" (the port
// chooser), the chosen port's "baudRate" and "isOpen" (the baud-rate chooser, the Open/Close menu
// item), "statusText" (the status bar) and "reconnectsAfterReplug" (its menu item). Choosing a
// port calls setSerialPort; choosing or typing a rate (digits only) sets the chosen port's
// baudRate. The throttle: "locoAddress" (the address box), "speedMode" (the step-mode chooser,
// which is the addressModeButton outlet), "locoSpeed" (the speed slider, whose adapter is the
// sender of sendSpeedChange), "currentSpeedStep" (the step shown beside it),
// "sentPacketString", "speedPacketTypeString" and "portIsOpen" (the lines below the buttons).
// Following a property never sends anything back: the controls' own signals are blocked while
// the window sets them, and the step-mode chooser sends only on the operator's choice.
//
// The throttle's keys (see keyAction) act wherever the focus is in this window, except in the
// send field, where they type as usual; Escape, the emergency stop, acts there too. They are
// taken by an event filter on the application before any control sees them, so no control's own
// handling of the key (a button's Space, a slider's or spin box's arrows) runs as well. Keys with
// Ctrl, Alt or Meta held, and keys in other windows (dialogs, open pop-up lists), are left alone.
//
// Ctrl+Q quits the application (QCoreApplication::quit); what happens then is the application's
// business (see DCCCabApplication).
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
        headlight
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
    // The throttle's keys, one line each, as the Help menu shows them.
    static QString keysText();

    // What the port chooser shows for port: its name, then the maker and the model where the
    // device registry knows them.
    static QString titleOfPort(const KESSerialPort& port);
    // The rate typed into the baud-rate chooser; none when it is not a positive number.
    static std::optional<std::uint64_t> baudRateFromText(const QString& text);

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
    void showAddress();
    void showSpeed();
    void showSpeedStep();
    void showSentPacket();
    void showSpeedPacketType();
    void showPortIsOpen();
    void showSimulatedTrack();
    // Whether the key event is one of the throttle's for this window, and if so acts on it.
    bool takeThrottleKey(QObject* watched, const QKeyEvent& event);
    void act(KeyAction action);

    DCCController& controller_;
    BuiltInStation* station_ = nullptr;
    std::unique_ptr<Ui::MainWindow> ui_;
    QLabel* statusLine_ = nullptr;
    std::unique_ptr<QtTextView> receivedDataTextView_;
    std::unique_ptr<QtTextField> sendTextField_;
    std::unique_ptr<QtButton> openCloseButton_;
    std::unique_ptr<QtPopUpButton> addressModeButton_;
    std::unique_ptr<QtValueControl> speedControl_;
    std::unique_ptr<QtButton> directionButton_;
    std::unique_ptr<QtButton> headlightButton_;
    // Labels that change with every frame.
    std::unique_ptr<QtThrottledLabel> sentPacketLabel_;
    std::unique_ptr<QtThrottledLabel> simulatedTrackLabel_;
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
    Subscription simulatedTrackObservation_;
};
