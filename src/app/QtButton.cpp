#include "QtButton.h"

#include <QAbstractButton>

std::string QtButton::title() const {
    return button_.text().toStdString();
}

void QtButton::setTitle(const std::string& title) {
    button_.setText(QString::fromStdString(title));
}
