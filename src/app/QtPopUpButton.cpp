#include "QtPopUpButton.h"

#include <QComboBox>

void QtPopUpButton::selectItemAtIndex(int index) {
    box_.setCurrentIndex(index >= 0 && index < box_.count() ? index : -1);
}

int QtPopUpButton::indexOfSelectedItem() const {
    return box_.currentIndex();
}
