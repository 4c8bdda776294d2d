#include "PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
}

} // namespace

PseudoTerminal::PseudoTerminal() {
    try {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0) {
            fail(errno, "posix_openpt");
        }
        if (fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 ||
            fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
            fail(errno, "fcntl on the pseudo-terminal master");
        }
        if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
            fail(errno, "grantpt/unlockpt");
        }
        char name[128];
        if (const int error = ptsname_r(master_, name, sizeof name); error != 0) {
            fail(error, "ptsname_r");
        }
        slavePath_ = name;
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (slave_ < 0) {
            fail(errno, "open of the pseudo-terminal slave");
        }
        // Settings made through the slave; on Linux those made through the master land on the
        // slave as well, and the master's own side is raw from the start.
        termios settings{};
        if (tcgetattr(slave_, &settings) != 0) {
            fail(errno, "tcgetattr on the pseudo-terminal slave");
        }
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
        if (tcsetattr(slave_, TCSANOW, &settings) != 0) {
            fail(errno, "tcsetattr on the pseudo-terminal slave");
        }
    } catch (...) {
        hangUp();
        throw;
    }
}

PseudoTerminal::~PseudoTerminal() {
    hangUp();
}

std::size_t PseudoTerminal::unreadBySlave() const {
    int count = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &count) != 0 || count < 0) {
        return 0;
    }
    return static_cast<std::size_t>(count);
}

void PseudoTerminal::hangUp() {
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}
