#pragma once

// The modem-control lines of an open terminal, as one word of TIOCM_* bits (RTS and DTR out;
// CTS, DSR and CD in).
//
// The program uses TerminalModemLines (the terminal ioctls). Tests that need a device with
// lines, which no build machine has, install a TestModemLines. Any thread may read and write
// lines; install on the main thread while no port is open.
class ModemLines {
public:
    virtual ~ModemLines() = default;

    // False, with errno set, when the device refuses (ENOTTY or EINVAL: it has no such lines).
    virtual bool read(int descriptor, int& word) = 0;
    virtual bool write(int descriptor, int word) = 0;

    static ModemLines& shared();
    // Installs lines (null: back to the terminal's) and returns the one it replaces.
    static ModemLines* install(ModemLines* lines);
};
