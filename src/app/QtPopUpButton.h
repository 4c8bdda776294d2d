#pragma once

#include "PopUpButton.h"

class QComboBox;

// A pop-up list of fixed items (the speed-step mode chooser): a PopUpButton over a QComboBox.
// Selecting from code changes the current index only; the window wires the operator's choice to
// QComboBox::activated, which only the operator's choice emits, so no action is sent.
//
// Main thread only. The widget is not owned: it belongs to the window, which outlives this adapter.
class QtPopUpButton : public PopUpButton {
public:
    explicit QtPopUpButton(QComboBox& box) : box_(box) {}

    void selectItemAtIndex(int index) override;
    int indexOfSelectedItem() const override;

    QComboBox& box() const { return box_; }

private:
    QComboBox& box_;
};
