#pragma once

#include "ValueControl.h"

class QAbstractSlider;

// A control that answers an integer (the speed slider): a ValueControl over a QAbstractSlider.
// Setting a value outside the slider's range clamps it to the range, as the slider does.
//
// Main thread only. The widget is not owned: it belongs to the window, which outlives this adapter.
class QtValueControl : public ValueControl {
public:
    explicit QtValueControl(QAbstractSlider& slider) : slider_(slider) {}

    int integerValue() const override;
    void setIntegerValue(int value) override;

    QAbstractSlider& slider() const { return slider_; }

private:
    QAbstractSlider& slider_;
};
