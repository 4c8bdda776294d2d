#pragma once

#include "ModemLines.h"

// The lines of a real terminal device, through TIOCMGET and TIOCMSET. Any thread.
class TerminalModemLines : public ModemLines {
public:
    bool read(int descriptor, int& word) override;
    bool write(int descriptor, int word) override;
};
