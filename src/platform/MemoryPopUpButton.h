#pragma once

#include "PopUpButton.h"

// A pop-up of itemCount items without a screen, for tests and the headless mode. Main thread only.
class MemoryPopUpButton : public PopUpButton {
public:
    explicit MemoryPopUpButton(int itemCount) : itemCount_(itemCount) {}

    void selectItemAtIndex(int index) override {
        selected_ = index >= 0 && index < itemCount_ ? index : -1;
    }
    int indexOfSelectedItem() const override { return selected_; }

private:
    int itemCount_;
    int selected_ = -1;
};
