#include "RosterDialog.h"

#include "RosterEntryDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

RosterEntry named(const char* name, std::int64_t address) {
    RosterEntry entry;
    entry.name = name;
    entry.address = address;
    return entry;
}

struct Edit {
    const char* name;
    const char* address;
    bool taken;
    const char* problemMentions; // in the problem line when refused
};

// The entry dialog refuses what the roster refuses, in the roster's words, and stays open.
TEST(RosterEntryDialogTest, TakesOnlyWhatTheRosterWouldStore) {
    Roster roster;
    ASSERT_TRUE(roster.store(named("Class 20", 20)));
    ASSERT_TRUE(roster.store(named("Class 66", 66)));
    const std::vector<Edit> edits{
        {"Big Boy", "4014", true, nullptr},      {"", "4014", false, "name"},
        {"Big Boy", "10240", false, "10240"},    {"Big Boy", "", false, "address"},
        {"Class 20", "4014", false, "Class 20"}, {"Big Boy", "20", false, "20"},
        {"Class 66", "66", true, nullptr} // itself, edited
    };
    for (const Edit& edit : edits) {
        const bool itself = std::string(edit.name) == "Class 66";
        RosterEntryDialog dialog(roster, named("x", 3),
                                 itself ? std::optional<std::size_t>(1) : std::nullopt);
        dialog.findChild<QLineEdit*>("nameField")->setText(edit.name);
        dialog.findChild<QLineEdit*>("addressField")->setText(edit.address);
        dialog.accept();
        EXPECT_EQ(dialog.result() == QDialog::Accepted, edit.taken) << edit.name << edit.address;
        const QString problem = dialog.findChild<QLabel*>("problemLabel")->text();
        if (edit.problemMentions != nullptr) {
            EXPECT_TRUE(problem.contains(edit.problemMentions, Qt::CaseInsensitive))
                << problem.toStdString();
        } else {
            EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
        }
    }
}

TEST(RosterEntryDialogTest, ShowsAndGivesBackTheModeLabelsAndMomentaryFunctions) {
    RosterEntry entry = named("Class 66", 66);
    entry.speedMode = 2;
    entry.functionLabels[0] = "Lights";
    entry.momentaryFunctions = functionBit(2) | functionBit(28);
    RosterEntryDialog dialog(Roster{}, entry, std::nullopt);
    EXPECT_EQ(dialog.entry(), entry) << "what it was given, unchanged";

    auto& table = *dialog.findChild<QTableWidget*>("functionTable");
    ASSERT_EQ(table.rowCount(), functionCount);
    table.item(5, 0)->setText(" Coupler ");
    table.item(5, 1)->setCheckState(Qt::Checked);
    table.item(2, 1)->setCheckState(Qt::Unchecked);
    dialog.findChild<QComboBox*>("modeChooser")->setCurrentIndex(0);
    const RosterEntry edited = dialog.entry();
    EXPECT_EQ(edited.functionLabels[5], "Coupler");
    EXPECT_EQ(edited.momentaryFunctions, functionBit(5) | functionBit(28));
    EXPECT_EQ(edited.speedMode, 0);
}

// Adding goes through the entry dialog; the roster dialog's table and result follow.
TEST(RosterDialogTest, AddsThroughTheEntryDialogAndRemoves) {
    Roster roster;
    ASSERT_TRUE(roster.store(named("Class 20", 20)));
    RosterDialog dialog(roster);
    auto& table = *dialog.findChild<QTableWidget*>("rosterTable");
    ASSERT_EQ(table.rowCount(), 1);

    QTimer::singleShot(0, [] {
        auto* entry = qobject_cast<RosterEntryDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(entry, nullptr);
        entry->findChild<QLineEdit*>("nameField")->setText("Big Boy");
        entry->findChild<QLineEdit*>("addressField")->setText("4014");
        entry->accept();
    });
    dialog.addEntry();
    ASSERT_EQ(dialog.roster().entries().size(), 2u);
    EXPECT_EQ(table.rowCount(), 2);
    EXPECT_EQ(table.item(0, 0)->text(), "Big Boy") << "sorted by name";
    EXPECT_EQ(table.item(0, 1)->text(), "4014");
    EXPECT_EQ(table.item(0, 2)->text(), "28");

    dialog.removeEntry(0);
    EXPECT_EQ(dialog.roster(), roster);
    EXPECT_EQ(table.rowCount(), 1);
}

} // namespace
