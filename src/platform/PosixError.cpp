#include "PosixError.h"

#include <cstring>
#include <utility>

PosixError::PosixError(int code, std::string filePath)
    : domain_(posixDomain), code_(code), filePath_(std::move(filePath)) {
    // strerror_r (GNU form) is safe on any thread, unlike strerror.
    char buffer[256];
    localizedDescription_ = ::strerror_r(code, buffer, sizeof buffer);
}
