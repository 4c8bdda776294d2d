#include "SimulatedBoard.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

SimulatedBoard::SimulatedBoard(SpeedMode baselineMode, BoardKnobs knobs, Observer observer)
    : line_({.received = [this](std::span<const std::uint8_t> bytes,
                                Clock::time_point arrived) { received(bytes, arrived); },
             .turn = [this](Clock::time_point now) { dropStaleFrame(now); },
             .deadline = [this] { return frameDeadline(); }},
            std::move(observer)),
      decoder_(baselineMode), shaper_(knobs) {}

SimulatedBoard::~SimulatedBoard() {
    stop();
}

void SimulatedBoard::start() {
    line_.start();
}

void SimulatedBoard::stop() {
    line_.stop();
}

void SimulatedBoard::hangUp() {
    line_.hangUp();
}

bool SimulatedBoard::isHungUp() const {
    return line_.isHungUp();
}

void SimulatedBoard::setKnobs(const BoardKnobs& knobs) {
    const std::lock_guard lock(mutex_);
    shaper_.setKnobs(knobs);
}

SimulatedBoard::Counters SimulatedBoard::counters() const {
    // The writes first: a reply is counted in replyBytes before its write, so the copy never
    // shows a write whose reply bytes it lacks.
    const StationLine::WriteCounts writes = line_.writeCounts();
    const std::lock_guard lock(mutex_);
    Counters counters = counters_;
    counters.writes = writes.whole;
    counters.failedWrites = writes.failed;
    return counters;
}

LayoutModel SimulatedBoard::layout() const {
    const std::lock_guard lock(mutex_);
    return layout_;
}

std::optional<SimulatedBoard::Clock::time_point> SimulatedBoard::frameDeadline() const {
    if (!parser_.inFrame()) {
        return std::nullopt;
    }
    const std::lock_guard lock(mutex_);
    if (shaper_.knobs().frameTimeout.count() <= 0) {
        return std::nullopt;
    }
    return lastByte_ + shaper_.knobs().frameTimeout;
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

void SimulatedBoard::received(std::span<const std::uint8_t> bytes, Clock::time_point arrived) {
    lastByte_ = arrived;
    std::vector<FrameParser::Event> frames;
    parser_.feed(bytes, frames);
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
    const bool hangingUp = line_.hangUpQueued();
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
        line_.queue(std::move(plan.writes[i]), due, i > 0, event.number);
    }
    if (plan.hangUp) {
        line_.queueHangUp(due, "hung up as the knobs asked");
    }
    line_.report(event);
}
