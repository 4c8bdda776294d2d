#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <string>

// How big a soak run is, and its random seed. DCCCAB_SOAK_FRAMES sets the number of frames of the
// long frame run (1,000,000 when unset); every other count of the soak scales with it, so that a
// short run (scripts/soak --short) shrinks everything at once.
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

// The seed of a test's random commands: DCCCAB_SOAK_SEED when set (a decimal number), so that a
// failing run can be replayed, else a fresh one. Call from inside a test: the seed goes to the
// test's XML report (property "seed") and to standard error, which stays open while a soak mutes
// standard output. A value that is not a number fails the test and a fresh seed is used.
inline std::uint64_t seed() {
    std::uint64_t value = 0;
    bool given = false;
    if (const char* text = std::getenv("DCCCAB_SOAK_SEED"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        errno = 0;
        const unsigned long long parsed = std::strtoull(text, &end, 10);
        given = text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0;
        if (given) {
            value = parsed;
        } else {
            ADD_FAILURE() << "DCCCAB_SOAK_SEED=" << text << " is not a decimal number";
        }
    }
    if (!given) {
        std::random_device device;
        value = (std::uint64_t{device()} << 32) | device();
    }
    testing::Test::RecordProperty("seed", std::to_string(value));
    std::fprintf(stderr, "soak seed %llu (replay with DCCCAB_SOAK_SEED=%llu)\n",
                 static_cast<unsigned long long>(value), static_cast<unsigned long long>(value));
    return value;
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

// Resident memory may grow by this much after a warm-up: the allocator keeps what it was given in
// its own way. A leak of a few hundred bytes a cycle goes well past it in a full run.
constexpr std::uint64_t residentToleranceKiB = 1024;

// Reports the run on standard error and expects descriptors and threads back where they were
// and resident memory within the tolerance.
inline void expectNothingLeft(const Resources& before, const Resources& after, std::uint64_t cycles,
                              const char* what) {
    std::fprintf(stderr, "soak: %llu %s; VmRSS %llu kB -> %llu kB\n",
                 static_cast<unsigned long long>(cycles), what,
                 static_cast<unsigned long long>(before.residentKiB),
                 static_cast<unsigned long long>(after.residentKiB));
    EXPECT_EQ(after.descriptors, before.descriptors) << "descriptors leaked";
    EXPECT_EQ(after.threads, before.threads) << "threads left behind";
    EXPECT_LE(after.residentKiB, before.residentKiB + residentToleranceKiB)
        << "resident memory grew";
}

} // namespace Soak
