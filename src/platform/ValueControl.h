#pragma once

// A control that answers an integer value when it sends its action: the speed slider.
//
// Main thread only; not owned by the controllers that read it.
class ValueControl {
public:
    virtual ~ValueControl() = default;

    virtual int integerValue() const = 0;
    virtual void setIntegerValue(int value) = 0;
};
