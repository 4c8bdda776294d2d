#include "FunctionPanel.h"

#include "DCCController.h"
#include "DCCFunctionEncoding.h"

#include <QEvent>
#include <QGridLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <algorithm>

namespace {

constexpr int fewestColumns = 2;
constexpr int mostColumns = 4;
constexpr int spacing = 4;

} // namespace

FunctionPanel::FunctionPanel(DCCController& controller, QScrollArea& scrollArea)
    : controller_(controller), scrollArea_(scrollArea) {
    grid_ = new QGridLayout(this);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setSpacing(spacing);
    for (int function = 0; function < functionCount; ++function) {
        auto* button = new QPushButton(this);
        button->setObjectName(QString("functionButton%1").arg(function));
        button->setCheckable(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(button, &QPushButton::pressed, this, [this, function] { pressed(function); });
        connect(button, &QPushButton::released, this, [this, function] { released(function); });
        connect(button, &QPushButton::clicked, this, [this, function] { clicked(function); });
        buttons_[static_cast<std::size_t>(function)] = button;
    }
    scrollArea_.setWidget(this);
    scrollArea_.viewport()->installEventFilter(this);
    auto follow = [this](const char* key) {
        return controller_.addObserver(key, [this](std::string_view) { showFunctions(); });
    };
    functionsObservation_ = follow("functions");
    addressObservation_ = follow("locoAddress");
    rosterObservation_ = follow("roster");
    showFunctions();
    fitColumns(scrollArea_.viewport()->width());
}

bool FunctionPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == scrollArea_.viewport() && event->type() == QEvent::Resize) {
        fitColumns(scrollArea_.viewport()->width());
    }
    return QWidget::eventFilter(watched, event);
}

int FunctionPanel::columnWidth() const {
    int widest = 0;
    for (const QPushButton* shown : buttons_) {
        widest = std::max(widest, shown->sizeHint().width());
    }
    return widest + spacing;
}

void FunctionPanel::fitColumns(int width) {
    const int column = columnWidth();
    if (column != columnWidth_) {
        columnWidth_ = column;
        columns_ = 0; // lay out again
    }
    // Room for the fewest columns and the scroll bar beside them, whatever the window's size.
    const int scrollBar = scrollArea_.verticalScrollBar()->sizeHint().width();
    scrollArea_.setMinimumWidth(fewestColumns * column + scrollBar + 2 * scrollArea_.frameWidth());
    const int columns = std::clamp((width + spacing) / column, fewestColumns, mostColumns);
    if (columns == columns_) {
        return;
    }
    columns_ = columns;
    for (QPushButton* shown : buttons_) {
        grid_->removeWidget(shown);
    }
    const int rows = (functionCount + columns - 1) / columns;
    for (int row = 0; row <= functionCount; ++row) {
        grid_->setRowStretch(row, row == rows ? 1 : 0); // the spare height below the buttons
    }
    for (int function = 0; function < functionCount; ++function) {
        grid_->addWidget(buttons_[static_cast<std::size_t>(function)], function / columns,
                         function % columns);
    }
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
    fitColumns(scrollArea_.viewport()->width()); // new labels may need wider columns
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
