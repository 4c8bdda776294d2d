#pragma once

// The modem-control lines of an open terminal, as one word of TIOCM_* bits (RTS and DTR out;
// CTS, DSR and CD in).
//
// The program installs TerminalModemLines (the terminal ioctls) at start-up (SystemServices); the
// test main installs them too. Tests that need a device with lines, which no build machine has,
// install a TestModemLines over them. Any thread may read and write lines; install on the main
// thread while no port is open.
class ModemLines {
public:
    virtual ~ModemLines() = default;

    // False, with errno set, when the device refuses (ENOTTY or EINVAL: it has no such lines).
    virtual bool read(int descriptor, int& word) = 0;
    virtual bool write(int descriptor, int word) = 0;

    // The installed lines. With none installed this is a programming error: a message that names
    // the missing service on standard error, then abort.
    static ModemLines& shared();
    // Installs lines (null: none) and returns the one it replaces. The lines must outlive their
    // installation and every background thread that reads them.
    static ModemLines* install(ModemLines* lines);
};
