#include "SlaveClient.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int patienceMs = 10'000; // only ever reached when something is broken

} // namespace

SlaveClient::SlaveClient(const std::string& path, bool raw)
    : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ >= 0 && raw) {
        termios settings{};
        tcgetattr(fd_, &settings);
        cfmakeraw(&settings);
        tcsetattr(fd_, TCSANOW, &settings);
    }
}

SlaveClient::~SlaveClient() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void SlaveClient::send(const std::string& text) const {
    send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void SlaveClient::send(std::span<const std::uint8_t> bytes) const {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string SlaveClient::readOnce() const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, patienceMs) != 1 || (p.revents & POLLIN) == 0) {
        return {};
    }
    char buffer[1024];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::vector<std::string> SlaveClient::readUntil(const std::string& end) const {
    std::vector<std::string> pieces;
    std::string all;
    while (!all.ends_with(end)) {
        std::string piece = readOnce();
        if (piece.empty()) {
            break;
        }
        all += piece;
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

bool SlaveClient::seesHangUp() const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, patienceMs) != 1) {
        return false;
    }
    char byte;
    const ssize_t n = read(fd_, &byte, 1);
    return n == 0 || (n < 0 && errno == EIO);
}
