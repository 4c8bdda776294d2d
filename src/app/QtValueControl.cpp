#include "QtValueControl.h"

#include <QAbstractSlider>

int QtValueControl::integerValue() const {
    return slider_.value();
}

void QtValueControl::setIntegerValue(int value) {
    slider_.setValue(value);
}
