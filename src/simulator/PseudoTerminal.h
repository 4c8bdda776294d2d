#pragma once

#include <cstddef>
#include <string>

// The board's end of the serial line: the master side of a pseudo-terminal, whose slave device
// (/dev/pts/N) the program opens as if it were a serial port.
//
// The slave is put in raw mode (cfmakeraw: no echo, no line editing, no character mapping on
// input or output, reads return as soon as a byte is there), so that every byte value crosses
// unchanged, also when a shell writes into the slave with printf without setting the line up.
// Echo in particular must be off: it would send the board's replies straight back to it as input.
//
// The terminal also keeps one descriptor of the slave open for as long as the line is up. With no
// slave descriptor open the master reports a hang-up on every poll, and the raw settings would be
// lost when a client closes; with it, clients can come and go. The price: replies nobody reads
// stay queued in the slave until someone does (a client that wants a clean start flushes its
// input after opening).
//
// Not thread-safe: one thread at a time. Descriptors are close-on-exec; the master is
// non-blocking.
class PseudoTerminal {
public:
    // Opens a new pair. Throws std::system_error if the system will not give one.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // The master descriptor, or -1 once hung up. Owned by this object.
    int master() const { return master_; }
    // The slave device's path, for example "/dev/pts/4". It disappears when the line hangs up.
    const std::string& slavePath() const { return slavePath_; }

    // Bytes written to the master that no client has read from the slave yet; 0 once hung up.
    std::size_t unreadBySlave() const;

    // Closes the master and the terminal's own slave descriptor: clients see the line hang up
    // (reads give end of file or EIO). Idempotent.
    void hangUp();
    bool isHungUp() const { return master_ < 0; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};
