#pragma once

#include <cstdint>
#include <optional>

// Line speeds in bits per second, including rates that have no termios speed code (14400,
// 28800, 250000). Kept apart from the termios code because the kernel's own terminal header,
// which arbitrary rates need, cannot share a file with <termios.h>.
class TerminalSpeed {
public:
    // Sets input and output speed of the terminal open on fd to bitsPerSecond. False, with errno
    // set, when the driver refuses the request.
    static bool setArbitrary(int fd, std::uint32_t bitsPerSecond);
    // The output speed the driver holds now, or nothing when it cannot be read.
    static std::optional<std::uint32_t> current(int fd);
};
