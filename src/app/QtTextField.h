#pragma once

#include "TextField.h"

class QLineEdit;

// The send field of the window: a TextField over a QLineEdit.
//
// Main thread only. The widget is not owned: it belongs to the window, which outlives this adapter.
class QtTextField : public TextField {
public:
    explicit QtTextField(QLineEdit& edit) : edit_(edit) {}

    std::string stringValue() const override;
    void setStringValue(const std::string& value) override;

    QLineEdit& edit() const { return edit_; }

private:
    QLineEdit& edit_;
};
