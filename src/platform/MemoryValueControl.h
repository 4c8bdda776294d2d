#pragma once

#include "ValueControl.h"

// A value control without a screen, for tests and the headless mode. Main thread only.
class MemoryValueControl : public ValueControl {
public:
    int integerValue() const override { return value_; }
    void setIntegerValue(int value) override { value_ = value; }

private:
    int value_ = 0;
};
