#pragma once

#include "Button.h"

#include <string>
#include <utility>

// A button without a screen, for tests and the headless mode. Main thread only.
class MemoryButton : public Button {
public:
    explicit MemoryButton(std::string title = {}) : title_(std::move(title)) {}

    std::string title() const override { return title_; }
    void setTitle(const std::string& title) override { title_ = title; }

private:
    std::string title_;
};
