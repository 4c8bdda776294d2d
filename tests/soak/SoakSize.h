#pragma once

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>

// How big a soak run is. DCCCAB_SOAK_FRAMES sets the number of frames of the long frame run
// (1,000,000 when unset); every other count of the soak scales with it, so that a short run
// (scripts/soak --short) shrinks everything at once.
namespace Soak {

constexpr std::uint64_t fullFrames = 1'000'000;

inline std::uint64_t frames() {
    const char* text = std::getenv("DCCCAB_SOAK_FRAMES");
    if (text == nullptr || *text == '\0') {
        return fullFrames;
    }
    const unsigned long long value = std::strtoull(text, nullptr, 10);
    return value == 0 ? fullFrames : value;
}

// full at the full frame count, in proportion below it, never less than floor.
inline std::uint64_t scaled(std::uint64_t full, std::uint64_t floor) {
    const std::uint64_t value = full * frames() / fullFrames;
    return value < floor ? floor : value;
}

// What the process holds: open descriptors, threads, resident memory.
struct Resources {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    std::uint64_t residentKiB = 0;
};

inline std::size_t entriesIn(const char* directory) {
    std::size_t count = 0;
    if (DIR* dir = ::opendir(directory)) {
        while (const dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
    }
    return count;
}

inline Resources resources() {
    Resources r;
    // The directory stream's own descriptor is among the entries while it is read.
    r.descriptors = entriesIn("/proc/self/fd") - 1;
    r.threads = entriesIn("/proc/self/task");
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            r.residentKiB = std::strtoull(line.c_str() + 6, nullptr, 10);
        }
    }
    return r;
}

} // namespace Soak
