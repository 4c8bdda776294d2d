#pragma once

#include "Roster.h"

#include <QDialog>
#include <cstddef>
#include <optional>

class QTableWidget;

// The roster, one row per entry (name, address, speed steps), with Add, Edit and Remove. Adding
// and editing open a RosterEntryDialog, which refuses what the roster would refuse. The dialog
// works on its own copy: OK leaves the result in roster(), for the caller to take; Cancel drops
// it.
//
// Main thread only.
class RosterDialog : public QDialog {
    Q_OBJECT
public:
    explicit RosterDialog(Roster roster, QWidget* parent = nullptr);

    const Roster& roster() const { return roster_; }

    // Adds an entry, or edits the one at index, through a RosterEntryDialog (modal).
    void addEntry();
    void editEntry(std::size_t index);
    void removeEntry(std::size_t index);

private:
    void editAt(const RosterEntry& entry, std::optional<std::size_t> replacing);
    void showRoster();
    std::optional<std::size_t> chosenRow() const;

    Roster roster_;
    QTableWidget* table_ = nullptr;
};
