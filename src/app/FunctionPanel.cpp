#include "FunctionPanel.h"

#include "DCCController.h"
#include "DCCFunctionEncoding.h"

#include <QGridLayout>
#include <QPushButton>

FunctionPanel::FunctionPanel(DCCController& controller, int columns, QWidget* parent)
    : QWidget(parent), controller_(controller) {
    static_assert(functionCount == 29);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(4);
    for (int function = 0; function < functionCount; ++function) {
        auto* button = new QPushButton(this);
        button->setObjectName(QString("functionButton%1").arg(function));
        button->setCheckable(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        grid->addWidget(button, function / columns, function % columns);
        connect(button, &QPushButton::pressed, this, [this, function] { pressed(function); });
        connect(button, &QPushButton::released, this, [this, function] { released(function); });
        connect(button, &QPushButton::clicked, this, [this, function] { clicked(function); });
        buttons_[static_cast<std::size_t>(function)] = button;
    }
    grid->setRowStretch(grid->rowCount(), 1);
    auto follow = [this](const char* key) {
        return controller_.addObserver(key, [this](std::string_view) { showFunctions(); });
    };
    functionsObservation_ = follow("functions");
    addressObservation_ = follow("locoAddress");
    rosterObservation_ = follow("roster");
    showFunctions();
}

QPushButton& FunctionPanel::button(int function) const {
    return *buttons_.at(static_cast<std::size_t>(function));
}

QString FunctionPanel::titleOf(int function, const std::string& label) {
    const QString number = QString("F%1").arg(function);
    const QString text = QString::fromStdString(label).trimmed();
    return text.isEmpty() || text == number ? number : number + ' ' + text;
}

void FunctionPanel::showFunctions() {
    for (int function = 0; function < functionCount; ++function) {
        QPushButton& shown = button(function);
        const std::string label = controller_.functionLabel(function);
        const bool momentary = controller_.functionIsMomentary(function);
        const QSignalBlocker quiet(shown);
        shown.setText(titleOf(function, label));
        shown.setChecked(controller_.functionIsOn(function));
        QString key;
        if (function <= 9) {
            key = function == 0 ? tr(" (key 0 or L)") : tr(" (key %1)").arg(function);
        }
        shown.setToolTip((momentary ? tr("%1: on while held%2") : tr("%1: on or off%2"))
                             .arg(titleOf(function, label), key));
    }
}

void FunctionPanel::pressed(int function) {
    if (controller_.functionIsMomentary(function)) {
        held_ |= functionBit(function);
        controller_.pressFunction(function);
    }
    showFunctions();
}

void FunctionPanel::released(int function) {
    if ((held_ & functionBit(function)) != 0) {
        held_ &= ~functionBit(function);
        controller_.releaseFunction(function);
    }
    showFunctions();
}

void FunctionPanel::clicked(int function) {
    if (!controller_.functionIsMomentary(function)) {
        controller_.pressFunction(function);
        controller_.releaseFunction(function);
    }
    showFunctions();
}
