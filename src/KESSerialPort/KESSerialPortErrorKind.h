#pragma once

#include <string>

// What a failed call on a serial device means to the person at the window, whatever the exact
// errno: the read loop decides from it whether the device has gone, open's log lines and the
// status bar say it in words.
enum class KESSerialPortErrorKind {
    deviceGone,   // unplugged or hung up: reads give nothing, or EIO, ENXIO, ENODEV
    inUse,        // another program holds the device (our exclusive lock or its TIOCEXCL)
    noPermission, // the user may not open the device node
    noSuchDevice, // no node at the path
    notATerminal, // the node is there but is no terminal
    other,
};

// The kind of errno value code. Any thread.
KESSerialPortErrorKind classifySerialError(int code);

// A few words for kind, as they stand in a log line or the status bar ("in use by another
// program").
std::string describeSerialErrorKind(KESSerialPortErrorKind kind);
