#pragma once

#include "Subscription.h"

#include <QObject>
#include <cstdint>
#include <string>

class DCCController;
class Locomotive;
class QTreeWidget;
class QTreeWidgetItem;

// The locomotives in use, one row each in the cab's order: the roster's name with the address
// (or the address alone), the speed step, the direction, and "EMERGENCY STOP" while one is
// emergency-stopped. The shown locomotive's row is the current one; clicking a row shows that
// locomotive on the throttle (setLocoAddress). Follows the cab's "locomotives", "locoAddress"
// and "roster".
//
// An adapter over the window's QTreeWidget, which it fills with three columns. Main thread only;
// the tree and the cab must outlive it.
class LocomotiveList : public QObject {
    Q_OBJECT
public:
    LocomotiveList(QTreeWidget& tree, DCCController& controller);
    ~LocomotiveList() override;

    // What a row says of loco: name (or address), speed and direction.
    static QString nameText(std::int64_t address, const std::string& rosterName);
    static QString speedText(const Locomotive& loco);
    static QString directionText(const Locomotive& loco);

    // Brings every row up to date with the cab.
    void showLocomotives();

private:
    void showRow(QTreeWidgetItem& item, const Locomotive& loco);
    void choose(QTreeWidgetItem* item);

    QTreeWidget& tree_;
    DCCController& controller_;
    Subscription locomotivesObservation_;
    Subscription addressObservation_;
    Subscription rosterObservation_;
};
