#include "LocomotiveList.h"

#include "DCCController.h"
#include "DCCSpeedEncoding.h"
#include "Locomotive.h"

#include <QBrush>
#include <QHeaderView>
#include <QTreeWidget>

namespace {

enum Column { nameColumn, speedColumn, directionColumn, columnCount };

// The address a row stands for, kept in its first column.
constexpr int addressRole = Qt::UserRole;

} // namespace

LocomotiveList::LocomotiveList(QTreeWidget& tree, DCCController& controller)
    : tree_(tree), controller_(controller) {
    tree_.setColumnCount(columnCount);
    tree_.setHeaderLabels({tr("Locomotive"), tr("Speed"), tr("Direction")});
    tree_.setRootIsDecorated(false);
    tree_.setUniformRowHeights(true);
    tree_.setSelectionMode(QAbstractItemView::SingleSelection);
    tree_.header()->setStretchLastSection(false);
    tree_.header()->setSectionResizeMode(nameColumn, QHeaderView::Stretch);
    tree_.header()->setSectionResizeMode(speedColumn, QHeaderView::ResizeToContents);
    tree_.header()->setSectionResizeMode(directionColumn, QHeaderView::ResizeToContents);
    // Only the operator's click: the list's own updates block its signals.
    connect(&tree_, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { choose(item); });
    connect(&tree_, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem* item) { choose(item); });

    auto follow = [this](const char* key) {
        return controller_.addObserver(key, [this](std::string_view) { showLocomotives(); });
    };
    locomotivesObservation_ = follow("locomotives");
    addressObservation_ = follow("locoAddress");
    rosterObservation_ = follow("roster");
    showLocomotives();
}

LocomotiveList::~LocomotiveList() = default;

QString LocomotiveList::nameText(std::int64_t address, const std::string& rosterName) {
    return rosterName.empty() ? tr("Address %1").arg(address)
                              : tr("%1 (%2)").arg(QString::fromStdString(rosterName)).arg(address);
}

QString LocomotiveList::speedText(const Locomotive& loco) {
    if (loco.isEmergencyStopped()) {
        return tr("EMERGENCY STOP");
    }
    if (loco.speedStep() == 0) {
        return tr("stopped");
    }
    return tr("step %1 of %2").arg(loco.speedStep()).arg(topSpeedStep(loco.speedMode()));
}

QString LocomotiveList::directionText(const Locomotive& loco) {
    return loco.direction() == 1 ? tr("forward") : tr("reverse");
}

void LocomotiveList::showLocomotives() {
    const QSignalBlocker quiet(tree_);
    const auto& locomotives = controller_.locomotives();
    while (tree_.topLevelItemCount() > static_cast<int>(locomotives.size())) {
        delete tree_.takeTopLevelItem(tree_.topLevelItemCount() - 1);
    }
    while (tree_.topLevelItemCount() < static_cast<int>(locomotives.size())) {
        tree_.addTopLevelItem(new QTreeWidgetItem());
    }
    for (std::size_t i = 0; i < locomotives.size(); ++i) {
        QTreeWidgetItem& item = *tree_.topLevelItem(static_cast<int>(i));
        showRow(item, *locomotives[i]);
        if (locomotives[i]->address() == controller_.locoAddress()) {
            tree_.setCurrentItem(&item);
        }
    }
}

void LocomotiveList::showRow(QTreeWidgetItem& item, const Locomotive& loco) {
    const std::int64_t address = loco.address();
    item.setData(nameColumn, addressRole, QVariant::fromValue<qlonglong>(address));
    item.setText(nameColumn, nameText(address, controller_.locomotiveName(address)));
    item.setText(speedColumn, speedText(loco));
    item.setText(directionColumn, directionText(loco));
    QFont font = tree_.font();
    font.setBold(loco.isEmergencyStopped());
    item.setFont(speedColumn, font);
    item.setForeground(speedColumn, loco.isEmergencyStopped() ? QBrush(QColor(0xc6, 0x28, 0x28))
                                                              : tree_.palette().text());
    item.setToolTip(nameColumn, tr("Click to drive this locomotive"));
}

void LocomotiveList::choose(QTreeWidgetItem* item) {
    if (item == nullptr) {
        return;
    }
    const qlonglong address = item->data(nameColumn, addressRole).toLongLong();
    if (address != controller_.locoAddress()) {
        controller_.setLocoAddress(address);
    }
}
