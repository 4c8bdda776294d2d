#include "RosterEntryDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column { labelColumn, momentaryColumn };

} // namespace

RosterEntryDialog::RosterEntryDialog(const Roster& roster, const RosterEntry& entry,
                                     std::optional<std::size_t> replacing, QWidget* parent)
    : QDialog(parent), roster_(roster), replacing_(replacing) {
    setWindowTitle(replacing ? tr("Edit Locomotive") : tr("Add Locomotive"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    layout->addLayout(form);

    nameField_ = new QLineEdit(QString::fromStdString(entry.name), this);
    nameField_->setObjectName("nameField");
    nameField_->setPlaceholderText(tr("What you call it, e.g. Class 66 or Big Boy"));
    form->addRow(tr("&Name:"), nameField_);

    addressField_ = new QLineEdit(QString::number(entry.address), this);
    addressField_->setObjectName("addressField");
    // Any number of up to five digits: the roster says why one is out of range.
    addressField_->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), addressField_));
    addressField_->setToolTip(tr("The decoder's address, 1 to 10239"));
    form->addRow(tr("&Address:"), addressField_);

    modeChooser_ = new QComboBox(this);
    modeChooser_->setObjectName("modeChooser");
    modeChooser_->addItems({tr("14 steps"), tr("28 steps"), tr("128 steps")});
    modeChooser_->setCurrentIndex(static_cast<int>(entry.speedMode));
    form->addRow(tr("Speed &steps:"), modeChooser_);

    functionTable_ = new QTableWidget(functionCount, 2, this);
    functionTable_->setObjectName("functionTable");
    functionTable_->setHorizontalHeaderLabels({tr("Label"), tr("Momentary")});
    functionTable_->horizontalHeader()->setSectionResizeMode(labelColumn, QHeaderView::Stretch);
    functionTable_->horizontalHeader()->setSectionResizeMode(momentaryColumn,
                                                             QHeaderView::ResizeToContents);
    for (int function = 0; function < functionCount; ++function) {
        functionTable_->setVerticalHeaderItem(function,
                                              new QTableWidgetItem(QString("F%1").arg(function)));
        functionTable_->setItem(function, labelColumn,
                                new QTableWidgetItem(QString::fromStdString(
                                    entry.functionLabels[static_cast<std::size_t>(function)])));
        auto* momentary = new QTableWidgetItem(tr("on while held"));
        momentary->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
        momentary->setCheckState(
            (entry.momentaryFunctions & functionBit(function)) != 0 ? Qt::Checked : Qt::Unchecked);
        functionTable_->setItem(function, momentaryColumn, momentary);
    }
    layout->addWidget(new QLabel(tr("&Functions (a label such as Light, Horn or Bell; empty "
                                    "shows the number):"),
                                 this));
    layout->addWidget(functionTable_, 1);

    problemLabel_ = new QLabel(this);
    problemLabel_->setObjectName("problemLabel");
    problemLabel_->setWordWrap(true);
    problemLabel_->setStyleSheet("color: #c62828;");
    layout->addWidget(problemLabel_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &RosterEntryDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &RosterEntryDialog::reject);
    layout->addWidget(buttons);
    resize(420, 560);
}

RosterEntry RosterEntryDialog::entry() const {
    RosterEntry entry;
    entry.name = nameField_->text().trimmed().toStdString();
    entry.address = addressField_->text().toLongLong(); // empty: 0, which the roster refuses
    entry.speedMode = modeChooser_->currentIndex();
    entry.momentaryFunctions = 0;
    for (int function = 0; function < functionCount; ++function) {
        entry.functionLabels[static_cast<std::size_t>(function)] =
            functionTable_->item(function, labelColumn)->text().trimmed().toStdString();
        if (functionTable_->item(function, momentaryColumn)->checkState() == Qt::Checked) {
            entry.momentaryFunctions |= functionBit(function);
        }
    }
    return entry;
}

void RosterEntryDialog::accept() {
    if (const std::optional<std::string> problem = roster_.problemWith(entry(), replacing_)) {
        problemLabel_->setText(QString::fromStdString(*problem));
        return;
    }
    problemLabel_->clear();
    QDialog::accept();
}
