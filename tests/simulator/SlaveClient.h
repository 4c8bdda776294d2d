#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

// The program's side of a simulated station's line, for tests: the slave device opened raw as
// the serial port opens it, or with its settings untouched as a shell's redirection opens it.
// Reads wait at most a limit that only a hang reaches.
class SlaveClient {
public:
    explicit SlaveClient(const std::string& path, bool raw = true);
    ~SlaveClient();
    SlaveClient(const SlaveClient&) = delete;
    SlaveClient& operator=(const SlaveClient&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Writes all of text; fails the test if the line does not take it.
    void send(const std::string& text) const;
    void send(std::span<const std::uint8_t> bytes) const;
    void send(std::initializer_list<std::uint8_t> bytes) const { send(std::span(bytes)); }
    // What one read() gives once data is there; empty if none comes in time or the line has hung
    // up.
    std::string readOnce() const;
    // Reads until what came ends with end; each read's bytes are one piece. What has come so far
    // if the line goes quiet first.
    std::vector<std::string> readUntil(const std::string& end) const;
    // True once the line reports a hang-up: end of file or EIO instead of data.
    bool seesHangUp() const;

private:
    int fd_;
};
