#pragma once

#include "Subscription.h"

#include <QDialog>

class DCCController;
class PhoneThrottleService;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTreeWidget;

// Options > Phone Throttles (WiThrottle): turns the server on and off, sets its port, heartbeat,
// the most phones at once and the layout's name (each change applies at once, through the service),
// says where phones connect and that the protocol has no password, and lists the phones connected
// with the locomotives each holds; Take Away releases the chosen locomotive from its phone.
//
// Main thread only. The service and the cab must outlive the dialog; it follows the service's
// "statusText", "isServing" and "connections".
class PhoneThrottleDialog : public QDialog {
    Q_OBJECT
public:
    PhoneThrottleDialog(PhoneThrottleService& service, DCCController& cab,
                        QWidget* parent = nullptr);
    ~PhoneThrottleDialog() override;

private:
    void applyFields();
    void showOptions();
    void showStatus();
    void showConnections();
    void takeAway();

    PhoneThrottleService& service_;
    DCCController& cab_;
    QCheckBox* enabled_ = nullptr;
    QSpinBox* port_ = nullptr;
    QSpinBox* heartbeat_ = nullptr;
    QSpinBox* maxPhones_ = nullptr;
    QLineEdit* layoutName_ = nullptr;
    QLabel* status_ = nullptr;
    QTreeWidget* phones_ = nullptr;
    QPushButton* takeAway_ = nullptr;
    Subscription statusObservation_;
    Subscription connectionsObservation_;
};
