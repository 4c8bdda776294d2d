#pragma once

#include "DCCFunctionEncoding.h"
#include "Subscription.h"

#include <QWidget>
#include <array>

class DCCController;
class QGridLayout;
class QPushButton;
class QScrollArea;

// The function buttons F0 to F28 of the shown locomotive, in a grid inside the window's scroll
// area: each titled with its number and the roster's label, and checked while the cab says the
// function is on. The grid has as many columns as the scroll area's width holds (two at least,
// four at most, F0 first, row by row); the scroll area is kept wide enough for two, and scrolls
// up and down when the window is too low for every row. A
// button never shows its own click: after every press, release and click, and whenever the cab
// announces "functions", "locoAddress" or "roster", each button shows what the cab holds.
//
// A latching function's button toggles it when clicked (pressFunction, then releaseFunction,
// which does nothing for it); a momentary one's is on from press to release (pressFunction on
// press, releaseFunction on release, also when the mouse leaves the button while held).
//
// The buttons take no keyboard focus: the window's keys (0 to 9, L) work them, and Space stays
// the stop key. Main thread only; the cab must outlive the panel.
class FunctionPanel : public QWidget {
    Q_OBJECT
public:
    // Puts itself in scrollArea, which must outlive the cab's announcements to it (the window
    // owns both).
    FunctionPanel(DCCController& controller, QScrollArea& scrollArea);

    // The button of function (0 to 28), named "functionButton<n>".
    QPushButton& button(int function) const;
    // What the button of function shows: "F<n>", then the roster's label if it has one.
    static QString titleOf(int function, const std::string& label);

    // Shows the cab's labels, kinds and states on every button.
    void showFunctions();

    int columns() const { return columns_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Lays the buttons out in as many columns as width holds.
    void fitColumns(int width);
    // The width one column of buttons needs.
    int columnWidth() const;
    void pressed(int function);
    void released(int function);
    void clicked(int function);

    DCCController& controller_;
    QScrollArea& scrollArea_;
    QGridLayout* grid_ = nullptr;
    int columns_ = 0;
    int columnWidth_ = 0;
    std::array<QPushButton*, functionCount> buttons_{};
    // The momentary functions whose button is held down: only these get a release.
    FunctionSet held_ = 0;
    Subscription functionsObservation_;
    Subscription addressObservation_;
    Subscription rosterObservation_;
};
