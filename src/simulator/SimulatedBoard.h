#pragma once

#include "BoardKnobs.h"
#include "DCCPacketDecoder.h"
#include "FrameParser.h"
#include "LayoutModel.h"
#include "ReplyShaper.h"
#include "SimulatedStation.h"
#include "SimulatorEvent.h"
#include "SpeedMode.h"
#include "StationLine.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

// A command-station board on a pseudo-terminal (the SimulatedStation that speaks the board's
// frames): the program opens slavePath() as its serial port, writes frames to it and gets a reply
// for each.
//
// For every frame the board checks the error byte, decodes the packet, applies it to its layout
// model and answers with one write of short ASCII text: "OK <n>\n" for a good frame,
// "ERR <n> error byte\n" or "ERR <n> length\n" for a bad one, n counting frames and faults from 1.
// The knobs (BoardKnobs) can delay, drop, split, merge or spoil replies, silence the board or hang
// up the line.
//
// Threading: the board serves the line on a thread of its own between start() and stop(). start,
// stop and the destructor belong to one controlling thread; hangUp, setKnobs, counters, layout and
// isHungUp may be called from any thread, also while the board runs. The observer runs on the
// board's thread only, one event at a time, never after stop() has returned; it must not call
// stop() or destroy the board. For a frame, its event is delivered, and the frame counted and
// applied to the layout, before its reply is written: a client that has read a reply can rely on
// all three. The reply's bytes are counted in replyBytes before the event: a client that has
// seen the events of its frames and read replyBytes bytes has every reply owed for them so far.
// The write counters go up only after the write.
//
// Ownership: the board owns the pseudo-terminal and its thread; the destructor stops the thread
// and closes every descriptor.
class SimulatedBoard : public SimulatedStation {
public:
    // The board reports Frame, BadErrorByte, BadLength, Incomplete, HungUp and WriteFailed.
    using Event = SimulatorEvent;

    struct Counters {
        std::uint64_t frames = 0;
        std::uint64_t badErrorBytes = 0;
        std::uint64_t badLengths = 0;
        std::uint64_t incompleteFrames = 0;
        std::uint64_t discardedBytes = 0; // bytes that were part of no frame
        std::uint64_t writes = 0;         // writes the line took whole
        std::uint64_t failedWrites = 0;   // writes it took in part or not at all
        // Bytes of the replies the board has queued to write, as the knobs shaped them (a reply
        // held back counts when the one that carries it is queued). What a hang-up or stop then
        // discards stays counted.
        std::uint64_t replyBytes = 0;
    };

    using Observer = SimulatedStation::Observer;

    // Opens the pseudo-terminal; nothing is served until start(). Throws std::system_error if no
    // pseudo-terminal or wake-up pipe can be had. baselineMode: how the decoders read baseline
    // speed packets (see DCCPacketDecoder).
    explicit SimulatedBoard(SpeedMode baselineMode = SpeedMode::Steps28, BoardKnobs knobs = {},
                            Observer observer = {});
    ~SimulatedBoard() override;
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    const std::string& slavePath() const override { return line_.slavePath(); }

    // Starts serving the line; does nothing if already running. Throws std::system_error if no
    // thread can be started.
    void start() override;
    // Stops serving and joins the board's thread. Replies not yet written are dropped. Safe to
    // call when not running. Not from the observer.
    void stop() override;

    // Closes the line: clients see it hang up, and the slave path goes away. While running this
    // happens on the board's thread shortly after the call (a HungUp event follows); otherwise
    // at once, without an event. A hung-up board stays hung up.
    void hangUp() override;
    bool isHungUp() const override;

    // Takes effect from the next frame.
    void setKnobs(const BoardKnobs& knobs);
    Counters counters() const;
    // A copy of the layout model as it stands.
    LayoutModel layout() const override;

private:
    using Clock = StationLine::Clock;

    void received(std::span<const std::uint8_t> bytes, Clock::time_point arrived);
    void answer(const FrameParser::Event& frame, Clock::time_point arrived);
    void dropStaleFrame(Clock::time_point now);
    std::optional<Clock::time_point> frameDeadline() const;

    // The parser and the members up to the mutex belong to the line's thread while the board
    // runs, and to the controlling thread otherwise.
    StationLine line_;
    FrameParser parser_;
    std::uint64_t answered_ = 0; // frames and faults answered so far
    Clock::time_point lastByte_; // when the last bytes from the program came
    const DCCPacketDecoder decoder_;

    mutable std::mutex mutex_; // the members below
    ReplyShaper shaper_;
    LayoutModel layout_;
    Counters counters_;
};
