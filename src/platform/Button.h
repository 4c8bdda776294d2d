#pragma once

#include <string>

// A push button whose title a controller sets: the Open/Close button, the direction and headlight
// buttons. Pressing it is the view's business; it reaches the controller as an action.
//
// Main thread only; not owned by the controllers that retitle it (it is an outlet).
class Button {
public:
    virtual ~Button() = default;

    virtual std::string title() const = 0;
    virtual void setTitle(const std::string& title) = 0;
};
