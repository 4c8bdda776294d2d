#include "SimulatedBoard.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

using namespace std::chrono_literals;

// The second half of a split reply, and a hang-up, wait until the slave's input queue is empty
// again, which shows the reader has taken what was written before (a hang-up discards what is
// still unread). Bytes written to the master reach that queue a moment later, so an empty queue
// counts only once they have been seen in it or readerSettle has passed; a reader that never
// reads holds things up at most readerGiveUp.
constexpr auto readerSettle = 20ms;
constexpr auto readerGiveUp = 1s;
constexpr int readerPollMs = 1;

} // namespace

SimulatedBoard::SimulatedBoard(SpeedMode baselineMode, BoardKnobs knobs, Observer observer)
    : decoder_(baselineMode), observer_(std::move(observer)), shaper_(knobs) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
}

SimulatedBoard::~SimulatedBoard() {
    stop();
    close(wakeRead_);
    close(wakeWrite_);
}

void SimulatedBoard::start() {
    const std::lock_guard control(controlMutex_);
    if (thread_.joinable()) {
        return;
    }
    stopRequested_ = false;
    thread_ = std::thread(&SimulatedBoard::run, this);
}

void SimulatedBoard::stop() {
    const std::lock_guard control(controlMutex_);
    if (!thread_.joinable()) {
        return;
    }
    stopRequested_ = true;
    wake();
    thread_.join();
    pending_.clear();
}

void SimulatedBoard::hangUp() {
    const std::lock_guard control(controlMutex_);
    if (thread_.joinable()) {
        hangUpRequested_ = true;
        wake();
        return;
    }
    terminal_.hangUp();
    pending_.clear();
    const std::lock_guard lock(mutex_);
    hungUp_ = true;
}

bool SimulatedBoard::isHungUp() const {
    const std::lock_guard lock(mutex_);
    return hungUp_;
}

void SimulatedBoard::setKnobs(const BoardKnobs& knobs) {
    const std::lock_guard lock(mutex_);
    shaper_.setKnobs(knobs);
}

SimulatedBoard::Counters SimulatedBoard::counters() const {
    const std::lock_guard lock(mutex_);
    return counters_;
}

LayoutModel SimulatedBoard::layout() const {
    const std::lock_guard lock(mutex_);
    return layout_;
}

void SimulatedBoard::wake() {
    const char byte = 0;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t written = write(wakeWrite_, &byte, 1);
}

void SimulatedBoard::run() {
    while (!stopRequested_) {
        if (hangUpRequested_.exchange(false) && !terminal_.isHungUp()) {
            closeLine("hung up on request");
        }
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
        dropStaleFrame(Clock::now());
        writeDue(Clock::now());
    }
}

int SimulatedBoard::pollTimeout(Clock::time_point now) const {
    std::optional<Clock::time_point> deadline;
    if (parser_.inFrame()) {
        const std::lock_guard lock(mutex_);
        if (shaper_.knobs().frameTimeout.count() > 0) {
            deadline = lastByte_ + shaper_.knobs().frameTimeout;
        }
    }
    if (!pending_.empty()) {
        const Pending& next = pending_.front();
        if (next.due <= now) {
            return next.afterRead ? readerPollMs : 0;
        }
        deadline = deadline ? std::min(*deadline, next.due) : next.due;
    }
    if (!deadline) {
        return -1; // until a frame or a wake-up
    }
    if (*deadline <= now) {
        return 0;
    }
    // Rounded up, so that the wait never ends just short of the due time.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
    return static_cast<int>(std::min<decltype(wait)>(wait, 60'000));
}

void SimulatedBoard::dropStaleFrame(Clock::time_point now) {
    if (!parser_.inFrame()) {
        return;
    }
    std::chrono::milliseconds timeout;
    {
        const std::lock_guard lock(mutex_);
        timeout = shaper_.knobs().frameTimeout;
    }
    if (timeout.count() > 0 && now - lastByte_ >= timeout) {
        const FrameParser::Event dropped = parser_.dropPartial();
        {
            const std::lock_guard lock(mutex_);
            counters_.incompleteFrames = parser_.incompleteFrames();
        }
        answer(dropped, now);
    }
}

void SimulatedBoard::readLine() {
    std::array<std::uint8_t, 1024> buffer;
    std::vector<FrameParser::Event> frames;
    for (;;) {
        const ssize_t n = read(terminal_.master(), buffer.data(), buffer.size());
        if (n > 0) {
            const Clock::time_point arrived = Clock::now();
            lastByte_ = arrived;
            frames.clear();
            parser_.feed(std::span(buffer.data(), static_cast<std::size_t>(n)), frames);
            {
                const std::lock_guard lock(mutex_);
                counters_.frames = parser_.frames();
                counters_.badErrorBytes = parser_.badErrorBytes();
                counters_.badLengths = parser_.badLengths();
                counters_.discardedBytes = parser_.discardedBytes();
            }
            for (const FrameParser::Event& frame : frames) {
                answer(frame, arrived);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        // The board holds a slave descriptor, so this means the line itself has failed.
        closeLine(n == 0 ? std::string("line closed")
                         : std::string("read failed: ") + std::strerror(errno));
        return;
    }
}

void SimulatedBoard::answer(const FrameParser::Event& frame, Clock::time_point arrived) {
    Event event;
    event.number = ++answered_;
    event.bytes = frame.bytes;
    const std::string number = std::to_string(event.number);

    DecodedPacket packet;
    switch (frame.kind) {
    case FrameParser::Event::Kind::Frame:
        event.kind = Event::Kind::Frame;
        packet = decoder_.decode(std::span(frame.bytes).subspan(1));
        event.meaning = packet.text;
        event.reply = "OK " + number + "\n";
        break;
    case FrameParser::Event::Kind::BadErrorByte: {
        event.kind = Event::Kind::BadErrorByte;
        std::uint8_t expected = 0;
        for (std::size_t i = 1; i + 1 < frame.bytes.size(); ++i) {
            expected ^= frame.bytes[i];
        }
        char text[64];
        std::snprintf(text, sizeof text, "bad frame: error byte %02X, should be %02X",
                      frame.bytes.back(), expected);
        event.meaning = text;
        event.reply = "ERR " + number + " error byte\n";
        break;
    }
    case FrameParser::Event::Kind::BadLength: {
        event.kind = Event::Kind::BadLength;
        char text[96];
        std::snprintf(text, sizeof text,
                      "bad frame: %02X cannot be a length (03 to 06); skipping to one that can",
                      frame.bytes.front());
        event.meaning = text;
        event.reply = "ERR " + number + " length\n";
        break;
    }
    case FrameParser::Event::Kind::Incomplete: {
        event.kind = Event::Kind::Incomplete;
        event.meaning = "bad frame: " + std::to_string(frame.bytes.size()) + " of " +
                        std::to_string(std::size_t{frame.bytes.front()} + 1) +
                        " bytes came, then nothing; dropped";
        event.reply = "ERR " + number + " incomplete\n";
        break;
    }
    }

    // Once a hang-up is due, what comes after it is not answered: the line closes as soon as the
    // reply before it has been read.
    const bool hangingUp = std::any_of(pending_.begin(), pending_.end(), [](const Pending& p) {
        return p.action == Pending::Action::HangUp;
    });
    ReplyShaper::Plan plan;
    Clock::time_point due;
    {
        const std::lock_guard lock(mutex_);
        layout_.apply(packet);
        if (hangingUp) {
            plan.note = "not answered: the line is hanging up";
        } else {
            plan = shaper_.shape(event.reply);
        }
        due = arrived + shaper_.knobs().replyDelay;
        for (const std::vector<std::uint8_t>& write : plan.writes) {
            counters_.replyBytes += write.size();
        }
    }
    event.replyNote = std::move(plan.note);
    for (std::size_t i = 0; i < plan.writes.size(); ++i) {
        Pending& write = pending_.emplace_back();
        write.due = due;
        write.bytes = std::move(plan.writes[i]);
        write.afterRead = i > 0;
        write.since = due;
        write.number = event.number;
    }
    if (plan.hangUp) {
        Pending& hangUp = pending_.emplace_back();
        hangUp.action = Pending::Action::HangUp;
        hangUp.due = due;
        hangUp.afterRead = true;
        hangUp.since = due;
    }
    notify(event);
}

void SimulatedBoard::writeDue(Clock::time_point now) {
    while (!pending_.empty() && pending_.front().due <= now) {
        Pending& next = pending_.front();
        if (next.afterRead && !readerHasTaken(next, now)) {
            return;
        }
        if (next.action == Pending::Action::HangUp) {
            closeLine("hung up as the knobs asked");
            return;
        }
        writeReply(next);
        pending_.pop_front();
        if (!pending_.empty() && pending_.front().afterRead) {
            pending_.front().since = now;
        }
    }
}

bool SimulatedBoard::readerHasTaken(Pending& pending, Clock::time_point now) const {
    const bool unread = terminal_.unreadBySlave() > 0;
    pending.sawUnread = pending.sawUnread || unread;
    const auto waited = now - pending.since;
    return (!unread && (pending.sawUnread || waited >= readerSettle)) || waited >= readerGiveUp;
}

void SimulatedBoard::writeReply(const Pending& pending) {
    const std::vector<std::uint8_t>& bytes = pending.bytes;
    ssize_t n;
    do {
        n = write(terminal_.master(), bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    const bool whole = n == static_cast<ssize_t>(bytes.size());
    {
        const std::lock_guard lock(mutex_);
        ++(whole ? counters_.writes : counters_.failedWrites);
    }
    if (!whole) {
        // Most often the terminal's buffer is full because nobody reads the slave.
        Event event;
        event.kind = Event::Kind::WriteFailed;
        event.number = pending.number;
        event.bytes = bytes;
        event.meaning = "reply to #" + std::to_string(pending.number) +
                        (n < 0 ? std::string(" not written: ") + std::strerror(errno)
                               : " cut short: " + std::to_string(n) + " of " +
                                     std::to_string(bytes.size()) + " bytes written");
        notify(event);
    }
}

void SimulatedBoard::closeLine(std::string why) {
    terminal_.hangUp();
    pending_.clear();
    {
        const std::lock_guard lock(mutex_);
        hungUp_ = true;
    }
    Event event;
    event.kind = Event::Kind::HungUp;
    event.meaning = std::move(why);
    notify(event);
}

void SimulatedBoard::notify(const Event& event) {
    if (observer_) {
        observer_(event);
    }
}
