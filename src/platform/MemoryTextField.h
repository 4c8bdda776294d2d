#pragma once

#include "TextField.h"

#include <string>

// A text field without a screen, for tests and the headless mode. Main thread only.
class MemoryTextField : public TextField {
public:
    std::string stringValue() const override { return value_; }
    void setStringValue(const std::string& value) override { value_ = value; }

private:
    std::string value_;
};
