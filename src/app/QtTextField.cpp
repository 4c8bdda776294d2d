#include "QtTextField.h"

#include <QLineEdit>

std::string QtTextField::stringValue() const {
    return edit_.text().toStdString();
}

void QtTextField::setStringValue(const std::string& value) {
    edit_.setText(QString::fromStdString(value));
}
