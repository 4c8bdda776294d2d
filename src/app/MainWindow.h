#pragma once

#include "QtButton.h"
#include "QtTextField.h"
#include "QtTextView.h"
#include "Subscription.h"

#include <QMainWindow>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class KESSerialPort;
class KESSerialPortDemoController;
class QLabel;

namespace Ui {
class MainWindow;
}

// The program's one window, laid out in MainWindow.ui: the port chooser, the baud-rate chooser,
// the Open/Close button, the received-data view, the send field with its Send button, the menus
// and the status bar.
//
// Made with the port panel controller it shows: it connects the controller's outlets to its own
// controls (through the Qt adapters), sends the controls' actions to it, and follows what the
// controller and its manager announce: the manager's "availablePorts" and the controller's
// "serialPort" (the port chooser), the chosen port's "baudRate" and "isOpen" (the baud-rate
// chooser, the Open/Close menu item), "statusText" (the status bar) and "reconnectsAfterReplug"
// (its menu item). Choosing a port calls the controller's setSerialPort; choosing or typing a rate
// (digits only) sets the chosen port's baudRate.
//
// Ctrl+Q quits the application (QCoreApplication::quit); what happens then is the application's
// business (see DCCCabApplication).
//
// Main thread only. The controller, and the manager it holds, must outlive the window. The
// window's subscriptions are members and end with it; its destructor disconnects the outlets it
// connected, so the controller never reaches a control that has gone.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(KESSerialPortDemoController& controller, QWidget* parent = nullptr);
    ~MainWindow() override;

    // What the port chooser shows for port: its name, then the maker and the model where the
    // device registry knows them.
    static QString titleOfPort(const KESSerialPort& port);
    // The rate typed into the baud-rate chooser; none when it is not a positive number.
    static std::optional<std::uint64_t> baudRateFromText(const QString& text);

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

    KESSerialPortDemoController& controller_;
    std::unique_ptr<Ui::MainWindow> ui_;
    QLabel* statusLine_ = nullptr;
    std::unique_ptr<QtTextView> receivedDataTextView_;
    std::unique_ptr<QtTextField> sendTextField_;
    std::unique_ptr<QtButton> openCloseButton_;
    // The ports the chooser lists, in its order.
    std::vector<std::shared_ptr<KESSerialPort>> listedPorts_;

    Subscription portListObservation_;
    Subscription chosenPortObservation_;
    Subscription statusObservation_;
    Subscription reconnectObservation_;
    // On the chosen port; replaced whenever another port is chosen.
    Subscription baudRateObservation_;
    Subscription openStateObservation_;
};
