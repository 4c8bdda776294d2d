#include "TerminalSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool TerminalSpeed::setArbitrary(int fd, std::uint32_t bitsPerSecond) {
    struct termios2 attributes {};
    if (::ioctl(fd, TCGETS2, &attributes) != 0) {
        return false;
    }
    attributes.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    attributes.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    attributes.c_ispeed = bitsPerSecond;
    attributes.c_ospeed = bitsPerSecond;
    return ::ioctl(fd, TCSETS2, &attributes) == 0;
}

std::optional<std::uint32_t> TerminalSpeed::current(int fd) {
    struct termios2 attributes {};
    if (::ioctl(fd, TCGETS2, &attributes) != 0) {
        return std::nullopt;
    }
    return attributes.c_ospeed;
}
