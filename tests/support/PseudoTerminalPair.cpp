#include "PseudoTerminalPair.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <unistd.h>

PseudoTerminalPair::PseudoTerminalPair() {
    char name[PATH_MAX];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slavePath_ = name;
}

PseudoTerminalPair::~PseudoTerminalPair() {
    closeMaster();
    closeSlave();
}

void PseudoTerminalPair::write(const Bytes& bytes) const {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

Bytes PseudoTerminalPair::read(std::size_t count) const {
    Bytes bytes;
    while (bytes.size() < count) {
        pollfd ready{master_, POLLIN, 0};
        if (::poll(&ready, 1, 20000) != 1) {
            ADD_FAILURE() << "no data from the port after " << bytes.size() << " of " << count
                          << " bytes";
            break;
        }
        std::uint8_t buffer[256];
        const ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got <= 0) {
            ADD_FAILURE() << "read from the master side failed: " << errno;
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

bool PseudoTerminalPair::hasData() const {
    pollfd ready{master_, POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;
}

Bytes PseudoTerminalPair::readAvailable() const {
    Bytes bytes;
    pollfd ready{master_, POLLIN, 0};
    while (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
        std::uint8_t buffer[256];
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

void PseudoTerminalPair::closeMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PseudoTerminalPair::closeSlave() {
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

bool PseudoTerminalPair::masterSeesHangUp() const {
    for (;;) {
        pollfd ready{master_, POLLIN, 0};
        if (::poll(&ready, 1, 0) != 1) {
            return false; // nothing to read, no hang-up: the slave is still held
        }
        std::uint8_t buffer[256];
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno == EIO)) {
            return true;
        }
        if (got < 0) {
            return false;
        }
    }
}
