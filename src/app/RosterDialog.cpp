#include "RosterDialog.h"

#include "RosterEntryDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

RosterDialog::RosterDialog(Roster roster, QWidget* parent)
    : QDialog(parent), roster_(std::move(roster)) {
    setWindowTitle(tr("Roster"));
    auto* layout = new QVBoxLayout(this);
    table_ = new QTableWidget(0, 3, this);
    table_->setObjectName("rosterTable");
    table_->setHorizontalHeaderLabels({tr("Name"), tr("Address"), tr("Speed steps")});
    table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table_->verticalHeader()->hide();
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(table_, &QTableWidget::cellDoubleClicked, this,
            [this](int row) { editEntry(static_cast<std::size_t>(row)); });

    auto* row = new QHBoxLayout();
    auto* add = new QPushButton(tr("&Add..."), this);
    auto* edit = new QPushButton(tr("&Edit..."), this);
    auto* remove = new QPushButton(tr("&Remove"), this);
    add->setObjectName("addButton");
    edit->setObjectName("editButton");
    remove->setObjectName("removeButton");
    connect(add, &QPushButton::clicked, this, &RosterDialog::addEntry);
    connect(edit, &QPushButton::clicked, this, [this] {
        if (const auto chosen = chosenRow()) {
            editEntry(*chosen);
        }
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        if (const auto chosen = chosenRow()) {
            removeEntry(*chosen);
        }
    });
    row->addWidget(add);
    row->addWidget(edit);
    row->addWidget(remove);
    row->addStretch(1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    layout->addWidget(table_, 1);
    layout->addLayout(row);
    layout->addWidget(buttons);
    resize(460, 360);
    showRoster();
}

void RosterDialog::addEntry() {
    editAt(RosterEntry{}, std::nullopt);
}

void RosterDialog::editEntry(std::size_t index) {
    if (index < roster_.entries().size()) {
        editAt(roster_.entries()[index], index);
    }
}

void RosterDialog::removeEntry(std::size_t index) {
    if (index < roster_.entries().size()) {
        roster_.remove(index);
        showRoster();
    }
}

void RosterDialog::editAt(const RosterEntry& entry, std::optional<std::size_t> replacing) {
    RosterEntryDialog dialog(roster_, entry, replacing, this);
    if (dialog.exec() == QDialog::Accepted) {
        // The entry dialog has checked it against this same roster.
        roster_.store(dialog.entry(), replacing);
        showRoster();
    }
}

void RosterDialog::showRoster() {
    static const QStringList modes{tr("14"), tr("28"), tr("128")};
    const auto& entries = roster_.entries();
    table_->setRowCount(static_cast<int>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const RosterEntry& entry = entries[i];
        const int row = static_cast<int>(i);
        table_->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(entry.name)));
        table_->setItem(row, 1, new QTableWidgetItem(QString::number(entry.address)));
        table_->setItem(row, 2,
                        new QTableWidgetItem(entry.speedMode >= 0 && entry.speedMode <= 2
                                                 ? modes[static_cast<int>(entry.speedMode)]
                                                 : QString::number(entry.speedMode)));
    }
}

std::optional<std::size_t> RosterDialog::chosenRow() const {
    const int row = table_->currentRow();
    if (row < 0 || row >= static_cast<int>(roster_.entries().size())) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(row);
}
