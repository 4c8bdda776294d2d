#include "SimulatedTextStation.h"

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

// A write that waits for the reader goes once the slave's input queue is empty again. Bytes
// written to the master reach that queue a moment later, so an empty queue counts only once they
// have been seen in it or readerSettle has passed; a reader that never reads holds the write up
// at most readerGiveUp.
constexpr auto readerSettle = 20ms;
constexpr auto readerGiveUp = 1s;
constexpr int readerPollMs = 1;

} // namespace

SimulatedTextStation::SimulatedTextStation(Observer observer, bool powerOn, SpeedMode baselineMode)
    : powerOn_(powerOn), decoder_(baselineMode), observer_(std::move(observer)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
}

SimulatedTextStation::~SimulatedTextStation() {
    stop();
    close(wakeRead_);
    close(wakeWrite_);
}

void SimulatedTextStation::start() {
    const std::lock_guard control(controlMutex_);
    if (thread_.joinable()) {
        return;
    }
    stopRequested_ = false;
    thread_ = std::thread(&SimulatedTextStation::run, this);
}

void SimulatedTextStation::stop() {
    const std::lock_guard control(controlMutex_);
    if (!thread_.joinable()) {
        return;
    }
    stopRequested_ = true;
    wake();
    thread_.join();
    pending_.clear();
}

void SimulatedTextStation::hangUp() {
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

bool SimulatedTextStation::isHungUp() const {
    const std::lock_guard lock(stateMutex_);
    return hungUp_;
}

LayoutModel SimulatedTextStation::layout() const {
    const std::lock_guard lock(stateMutex_);
    return layout_;
}

bool SimulatedTextStation::isPowerOn() const {
    const std::lock_guard lock(stateMutex_);
    return powerOn_;
}

void SimulatedTextStation::inject(std::string bytes) {
    post([this, bytes = std::move(bytes)] {
        SimulatorEvent event;
        event.kind = SimulatorEvent::Kind::Unprompted;
        event.bytes.assign(bytes.begin(), bytes.end());
        event.meaning = "injected " + std::to_string(bytes.size()) + " bytes";
        report(event);
        reply(bytes);
    });
}

void SimulatedTextStation::reply(std::string text, bool afterRead) {
    if (terminal_.isHungUp() || text.empty()) {
        return;
    }
    Pending& write = pending_.emplace_back();
    write.bytes = std::move(text);
    write.afterRead = afterRead;
    write.since = Clock::now();
}

void SimulatedTextStation::report(const SimulatorEvent& event) {
    if (observer_) {
        observer_(event);
    }
}

void SimulatedTextStation::post(std::function<void()> task) {
    {
        const std::lock_guard lock(tasksMutex_);
        tasks_.push_back(std::move(task));
    }
    wake();
}

DecodedPacket SimulatedTextStation::applyPacket(std::span<const std::uint8_t> packet) {
    DecodedPacket decoded = decoder_.decode(packet);
    const std::lock_guard lock(stateMutex_);
    if (powerOn_) {
        layout_.apply(decoded);
    }
    return decoded;
}

void SimulatedTextStation::wake() {
    const char byte = 0;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t written = write(wakeWrite_, &byte, 1);
}

void SimulatedTextStation::run() {
    while (!stopRequested_) {
        if (hangUpRequested_.exchange(false) && !terminal_.isHungUp()) {
            closeLine("hung up on request");
        }
        runTasks();
        writeDue(Clock::now());
        int timeout = -1;
        if (!pending_.empty()) {
            timeout = pending_.front().afterRead ? readerPollMs : 0;
        }
        std::array<pollfd, 2> fds{{{wakeRead_, POLLIN, 0}, {terminal_.master(), POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), timeout) < 0) {
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

void SimulatedTextStation::runTasks() {
    for (;;) {
        std::function<void()> task;
        {
            const std::lock_guard lock(tasksMutex_);
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void SimulatedTextStation::readLine() {
    std::array<char, 1024> buffer;
    for (;;) {
        const ssize_t n = read(terminal_.master(), buffer.data(), buffer.size());
        if (n > 0) {
            // A task posted before these bytes were written goes first.
            runTasks();
            received(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        // The station holds a slave descriptor, so this means the line itself has failed.
        closeLine(n == 0 ? std::string("line closed")
                         : std::string("read failed: ") + std::strerror(errno));
        return;
    }
}

void SimulatedTextStation::writeDue(Clock::time_point now) {
    while (!pending_.empty()) {
        Pending& next = pending_.front();
        if (next.afterRead && !readerHasTaken(next, now)) {
            return;
        }
        const std::string bytes = std::move(next.bytes);
        pending_.pop_front();
        ssize_t n;
        do {
            n = write(terminal_.master(), bytes.data(), bytes.size());
        } while (n < 0 && errno == EINTR);
        if (!pending_.empty()) {
            pending_.front().since = now;
        }
        if (n != static_cast<ssize_t>(bytes.size())) {
            // Most often the terminal's buffer is full because nobody reads the slave.
            SimulatorEvent event;
            event.kind = SimulatorEvent::Kind::WriteFailed;
            event.bytes.assign(bytes.begin(), bytes.end());
            event.meaning = n < 0 ? std::string("reply not written: ") + std::strerror(errno)
                                  : "reply cut short: " + std::to_string(n) + " of " +
                                        std::to_string(bytes.size()) + " bytes written";
            report(event);
        }
    }
}

bool SimulatedTextStation::readerHasTaken(Pending& pending, Clock::time_point now) const {
    const bool unread = terminal_.unreadBySlave() > 0;
    pending.sawUnread = pending.sawUnread || unread;
    const auto waited = now - pending.since;
    return (!unread && (pending.sawUnread || waited >= readerSettle)) || waited >= readerGiveUp;
}

void SimulatedTextStation::closeLine(std::string why) {
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
