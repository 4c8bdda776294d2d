#pragma once

#include <string>

// What the packet core needs of the cab controller: a place to show one line of text per packet
// written. The controller implements it and registers itself in `controller`; the packet core
// declares it so that it never depends on the controller's layer.
class DCCMessageDisplay {
public:
    virtual ~DCCMessageDisplay() = default;

    // Appends text (UTF-8) to the operator's view. Called on the main thread only. The text
    // carries its own line ends; an empty text changes nothing.
    virtual void displayMessage(std::string text) = 0;
};

// The one cab controller of the process, or null while none is registered (the dispatcher then
// skips its display call). Written once on the main thread by the controller's construction;
// the controller outlives every dispatcher that reads it.
extern DCCMessageDisplay* controller;
