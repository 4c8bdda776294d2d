#pragma once

#include "Button.h"

class QAbstractButton;

// A push button of the window (the Open/Close button, later the direction and headlight
// buttons): a Button over a QAbstractButton. Retitling does not press it.
//
// Main thread only. The widget is not owned: it belongs to the window, which outlives this adapter.
class QtButton : public Button {
public:
    explicit QtButton(QAbstractButton& button) : button_(button) {}

    std::string title() const override;
    void setTitle(const std::string& title) override;

    QAbstractButton& button() const { return button_; }

private:
    QAbstractButton& button_;
};
