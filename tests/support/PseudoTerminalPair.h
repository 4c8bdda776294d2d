#pragma once

#include "Bytes.h"

#include <chrono>
#include <string>

// A real pseudo-terminal pair for tests. The test plays the far end on the master side; the
// slave side is the "device" a port opens by path. The pair's own slave descriptor stays open so
// the test can read the device's attributes whatever the port has done.
class PseudoTerminalPair {
public:
    PseudoTerminalPair();
    ~PseudoTerminalPair();
    PseudoTerminalPair(const PseudoTerminalPair&) = delete;
    PseudoTerminalPair& operator=(const PseudoTerminalPair&) = delete;

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& slavePath() const { return slavePath_; }

    void write(const Bytes& bytes) const;
    // Reads exactly count bytes from the master side; fails the test if they do not come within
    // a limit that only a hang reaches.
    Bytes read(std::size_t count) const;
    // Whether the master side has bytes to read right now.
    bool hasData() const;
    // Whatever the master side can read right now, without waiting.
    Bytes readAvailable() const;
    // Hangs up: the slave side reads end-of-file or EIO from now on.
    void closeMaster();
    // Closes the pair's own slave descriptor, so that once the port closes the device too, the
    // master side sees the hang-up (see masterSeesHangUp).
    void closeSlave();
    // Whether the master side reads the hang-up (EIO, or end-of-file) now: nothing holds the
    // slave side any more. Unread bytes are read and dropped first.
    bool masterSeesHangUp() const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};
