#include "WireBoard.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

} // namespace

double WireBoard::threadCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool WireBoard::run(std::uint64_t warmUp, std::uint64_t measured, const Nudge& nudge,
                    const CpuClock& programCpu, Result& result) {
    using Clock = std::chrono::steady_clock;
    constexpr int quietMs = 100;
    constexpr int givenUpAfterQuiet = 300; // half a minute: a slow start under valgrind

    result = Result{};
    result.turnaroundsNs.reserve(measured);
    std::vector<std::uint8_t> pending;
    std::uint8_t buffer[256];
    std::uint64_t framesRead = 0;
    std::uint64_t frameBytes = 0;
    std::uint64_t replyBytes = 0;
    Clock::time_point replied{};
    Clock::time_point start{};
    double boardCpuStart = 0;
    double programCpuStart = 0;
    bool stalledSinceReply = false;
    int quietSpells = 0;

    nudge(0, false);
    while (framesRead < warmUp + measured) {
        pollfd ready{master_, POLLIN, 0};
        const int woke = ::poll(&ready, 1, quietMs);
        if (woke < 0 && errno == EINTR) {
            continue;
        }
        if (woke < 0 || (woke == 1 && (ready.revents & POLLIN) == 0)) {
            return false;
        }
        if (woke == 0) {
            if (++quietSpells > givenUpAfterQuiet) {
                return false;
            }
            if (framesRead >= warmUp) {
                ++result.stalls;
            }
            stalledSinceReply = true;
            nudge(framesRead, true);
            continue;
        }
        const ssize_t count = ::read(master_, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        const Clock::time_point read = Clock::now();
        quietSpells = 0;
        pending.insert(pending.end(), buffer, buffer + count);
        // Stop-and-wait: at most one frame is complete; more would be a writer that did not wait.
        if (pending.size() < 1u + pending[0]) {
            continue;
        }
        const std::size_t length = 1u + pending[0];
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
        ++framesRead;
        if (framesRead > warmUp) {
            frameBytes += length;
            if (!stalledSinceReply) {
                result.turnaroundsNs.push_back(
                    std::chrono::duration<double, std::nano>(read - replied).count());
            }
        }
        if (framesRead == warmUp + measured) {
            result.seconds = std::chrono::duration<double>(read - start).count();
            result.programCpuSeconds = programCpu() - programCpuStart;
            result.boardCpuSeconds = threadCpuSeconds() - boardCpuStart;
        }
        nudge(framesRead, false);

        const std::string reply = "OK " + std::to_string(framesRead) + "\n";
        for (std::size_t written = 0; written < reply.size();) {
            const ssize_t wrote = ::write(master_, reply.data() + written, reply.size() - written);
            if (wrote < 0 && errno != EINTR && errno != EAGAIN) {
                return false;
            }
            written += static_cast<std::size_t>(std::max<ssize_t>(wrote, 0));
        }
        replied = Clock::now();
        stalledSinceReply = false;
        if (framesRead > warmUp) {
            replyBytes += reply.size();
        }
        if (framesRead == warmUp) {
            start = replied;
            boardCpuStart = threadCpuSeconds();
            programCpuStart = programCpu();
        }
    }
    result.frames = measured;
    result.frameBytes = static_cast<double>(frameBytes) / static_cast<double>(measured);
    result.replyBytes = static_cast<double>(replyBytes) / static_cast<double>(measured);
    return true;
}
