#pragma once

#include "Roster.h"

#include <QDialog>
#include <cstddef>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QTableWidget;

// Edits one roster entry: its name, address, speed-step mode, and for each function F0 to F28 a
// label and whether it is momentary. OK takes the entry only when the roster would store it
// (Roster::problemWith, against the entry at replacing if given); otherwise the dialog stays
// open and says why in its problem line ("problemLabel").
//
// Main thread only. The roster is copied: the dialog changes nothing but its own entry.
class RosterEntryDialog : public QDialog {
    Q_OBJECT
public:
    RosterEntryDialog(const Roster& roster, const RosterEntry& entry,
                      std::optional<std::size_t> replacing, QWidget* parent = nullptr);

    // The entry as the fields now say.
    RosterEntry entry() const;

    void accept() override;

private:
    Roster roster_;
    std::optional<std::size_t> replacing_;
    QLineEdit* nameField_ = nullptr;
    QLineEdit* addressField_ = nullptr;
    QComboBox* modeChooser_ = nullptr;
    QTableWidget* functionTable_ = nullptr;
    QLabel* problemLabel_ = nullptr;
};
