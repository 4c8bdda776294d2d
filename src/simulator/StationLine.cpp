#include "StationLine.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

using namespace std::chrono_literals;

// A write (or hang-up) that waits for the reader goes once the slave's input queue is empty
// again, which shows the reader has taken what was written before (a hang-up discards what is
// still unread). Bytes written to the master reach that queue a moment later, so an empty queue
// counts only once they have been seen in it or readerSettle has passed; a reader that never
// reads holds things up at most readerGiveUp.
constexpr auto readerSettle = 20ms;
constexpr auto readerGiveUp = 1s;
constexpr int readerPollMs = 1;

} // namespace

StationLine::StationLine(Hooks hooks, Observer observer)
    : hooks_(std::move(hooks)), observer_(std::move(observer)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
}

StationLine::~StationLine() {
    stop();
    close(wakeRead_);
    close(wakeWrite_);
}

void StationLine::start() {
    const std::lock_guard control(controlMutex_);
    if (thread_.joinable()) {
        return;
    }
    stopRequested_ = false;
    thread_ = std::thread(&StationLine::run, this);
}

void StationLine::stop() {
    const std::lock_guard control(controlMutex_);
    if (!thread_.joinable()) {
        return;
    }
    stopRequested_ = true;
    wake();
    thread_.join();
    pending_.clear();
}

void StationLine::hangUp() {
    const std::lock_guard control(controlMutex_);
    if (thread_.joinable()) {
        hangUpRequested_ = true;
        wake();
        return;
    }
    terminal_.hangUp();
    pending_.clear();
    const std::lock_guard lock(stateMutex_);
    hungUp_ = true;
}

bool StationLine::isHungUp() const {
    const std::lock_guard lock(stateMutex_);
    return hungUp_;
}

StationLine::WriteCounts StationLine::writeCounts() const {
    const std::lock_guard lock(stateMutex_);
    return writeCounts_;
}

void StationLine::wake() {
    const char byte = 0;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t written = write(wakeWrite_, &byte, 1);
}

void StationLine::queue(std::vector<std::uint8_t> bytes, Clock::time_point due, bool afterRead,
                        std::uint64_t number) {
    Pending& write = pending_.emplace_back();
    write.due = due;
    write.bytes = std::move(bytes);
    write.afterRead = afterRead;
    write.since = due;
    write.number = number;
}

void StationLine::queueHangUp(Clock::time_point due, std::string why) {
    queue({}, due, true);
    pending_.back().hangUp = true;
    pending_.back().why = std::move(why);
}

bool StationLine::hangUpQueued() const {
    return std::any_of(pending_.begin(), pending_.end(),
                       [](const Pending& pending) { return pending.hangUp; });
}

void StationLine::report(const SimulatorEvent& event) const {
    if (observer_) {
        observer_(event);
    }
}

void StationLine::run() {
    while (!stopRequested_) {
        if (hangUpRequested_.exchange(false) && !terminal_.isHungUp()) {
            closeLine("hung up on request");
        }
        if (hooks_.turn) {
            hooks_.turn(Clock::now());
        }
        writeDue(Clock::now());
        std::array<pollfd, 2> fds{{{wakeRead_, POLLIN, 0}, {terminal_.master(), POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), pollTimeout(Clock::now())) < 0) {
            if (errno == EINTR) {
                continue;
            }
            closeLine(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents != 0) {
            readLine();
        }
    }
}

int StationLine::pollTimeout(Clock::time_point now) const {
    std::optional<Clock::time_point> deadline;
    if (hooks_.deadline) {
        deadline = hooks_.deadline();
    }
    if (!pending_.empty()) {
        const Pending& next = pending_.front();
        if (next.due <= now) {
            return next.afterRead ? readerPollMs : 0;
        }
        deadline = deadline ? std::min(*deadline, next.due) : next.due;
    }
    if (!deadline) {
        return -1; // until bytes or a wake-up
    }
    if (*deadline <= now) {
        return 0;
    }
    // Rounded up, so that the wait never ends just short of the due time.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
    return static_cast<int>(std::min<decltype(wait)>(wait, 60'000));
}

void StationLine::readLine() {
    std::array<std::uint8_t, 1024> buffer;
    for (;;) {
        const ssize_t n = read(terminal_.master(), buffer.data(), buffer.size());
        if (n > 0) {
            hooks_.received(std::span(buffer.data(), static_cast<std::size_t>(n)), Clock::now());
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        // The terminal holds a slave descriptor, so this means the line itself has failed.
        closeLine(n == 0 ? std::string("line closed")
                         : std::string("read failed: ") + std::strerror(errno));
        return;
    }
}

void StationLine::writeDue(Clock::time_point now) {
    while (!pending_.empty() && pending_.front().due <= now) {
        Pending& next = pending_.front();
        if (next.afterRead && !readerHasTaken(next, now)) {
            return;
        }
        if (next.hangUp) {
            closeLine(std::move(next.why));
            return;
        }
        const Pending write = std::move(next);
        pending_.pop_front();
        if (!pending_.empty()) {
            pending_.front().since = now;
        }
        writeOut(write);
    }
}

bool StationLine::readerHasTaken(Pending& pending, Clock::time_point now) const {
    const bool unread = terminal_.unreadBySlave() > 0;
    pending.sawUnread = pending.sawUnread || unread;
    const auto waited = now - pending.since;
    return (!unread && (pending.sawUnread || waited >= readerSettle)) || waited >= readerGiveUp;
}

void StationLine::writeOut(const Pending& pending) {
    const std::vector<std::uint8_t>& bytes = pending.bytes;
    ssize_t n;
    do {
        n = write(terminal_.master(), bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    const bool whole = n == static_cast<ssize_t>(bytes.size());
    {
        const std::lock_guard lock(stateMutex_);
        ++(whole ? writeCounts_.whole : writeCounts_.failed);
    }
    if (whole) {
        return;
    }
    // Most often the terminal's buffer is full because nobody reads the slave.
    SimulatorEvent event;
    event.kind = SimulatorEvent::Kind::WriteFailed;
    event.number = pending.number;
    event.bytes = bytes;
    event.meaning = (pending.number > 0 ? "reply to #" + std::to_string(pending.number)
                                        : std::string("reply")) +
                    (n < 0 ? std::string(" not written: ") + std::strerror(error)
                           : " cut short: " + std::to_string(n) + " of " +
                                 std::to_string(bytes.size()) + " bytes written");
    report(event);
}

void StationLine::closeLine(std::string why) {
    terminal_.hangUp();
    pending_.clear();
    {
        const std::lock_guard lock(stateMutex_);
        hungUp_ = true;
    }
    SimulatorEvent event;
    event.kind = SimulatorEvent::Kind::HungUp;
    event.meaning = std::move(why);
    report(event);
}
