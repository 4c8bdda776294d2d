#pragma once

#include <string>

// A single-line text entry: the send field of the window, an in-memory field in tests and in the
// headless mode. Text is UTF-8.
//
// Main thread only; not owned by the controllers that read it (it is an outlet).
class TextField {
public:
    virtual ~TextField() = default;

    virtual std::string stringValue() const = 0;
    virtual void setStringValue(const std::string& value) = 0;
};
