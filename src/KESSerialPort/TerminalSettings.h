#pragma once

#include "KESSerialPortParity.h"
#include "TerminalSpeed.h"

#include <cstdint>
#include <optional>
#include <termios.h>

// The line settings of a port, as they reach the terminal driver.
struct KESSerialPortLineSettings {
    std::optional<std::uint64_t> baudRate; // none counts as 0, which hangs the line up
    std::uint64_t numberOfStopBits = 1;    // 0 and 1 mean one, 2 and more mean two
    KESSerialPortParity parity = KESSerialPortParityNone;
    bool echo = false;
    bool usesRTSCTSFlowControl = false;
};

// The attributes to write for a set of line settings.
struct TerminalSettings {
    termios attributes{};
    // Set when the rate has no termios speed code: after writing attributes (which keep the
    // speed read), the rate goes to the driver as a number through TerminalSpeed::setArbitrary.
    std::optional<std::uint64_t> arbitraryRate;
};

// The raw 8-bit attributes for settings, starting from current (what the device holds now):
// no echo, canonical mode or signals unless asked, the receiver on, modem control ignored, the
// lines dropped on the last close, and every read returning as soon as one byte is there.
// Nothing else of current is changed. Pure; any thread.
TerminalSettings terminalSettingsFor(const termios& current,
                                     const KESSerialPortLineSettings& settings);

// The termios speed code of a rate in bits per second; none for rates that have none.
std::optional<speed_t> terminalSpeedCode(std::uint64_t bitsPerSecond);
