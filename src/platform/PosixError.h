#pragma once

#include <string>

// What went wrong in an operating-system call: the POSIX error domain, the errno value, the text
// strerror gives for it, and the file the call was about.
class PosixError {
public:
    static constexpr const char* posixDomain = "POSIX";

    // Builds the error from an errno value taken right after the failed call.
    PosixError(int code, std::string filePath);

    const std::string& domain() const { return domain_; }
    int code() const { return code_; }
    const std::string& localizedDescription() const { return localizedDescription_; }
    const std::string& filePath() const { return filePath_; }

private:
    std::string domain_;
    int code_;
    std::string localizedDescription_;
    std::string filePath_;
};
