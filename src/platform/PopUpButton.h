#pragma once

// A pop-up list of fixed items of which one is selected, by index from 0: the speed-step mode
// chooser. Selecting from code does not send the control's action.
//
// Main thread only; not owned by the controllers that use it (it is an outlet).
class PopUpButton {
public:
    virtual ~PopUpButton() = default;

    // Selects the item at index; an index outside the items selects none.
    virtual void selectItemAtIndex(int index) = 0;
    // The selected item's index, -1 when none is selected.
    virtual int indexOfSelectedItem() const = 0;
};
