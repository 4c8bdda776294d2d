#pragma once

#include "BoardKnobs.h"
#include "DCCPacketDecoder.h"
#include "FrameParser.h"
#include "LayoutModel.h"
#include "PseudoTerminal.h"
#include "ReplyShaper.h"
#include "SimulatedStation.h"
#include "SimulatorEvent.h"
#include "SpeedMode.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

    const std::string& slavePath() const override { return terminal_.slavePath(); }

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
    using Clock = std::chrono::steady_clock;

    struct Pending {
        enum class Action { Write, HangUp };
        Action action = Action::Write;
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
        bool afterRead = false;   // wait for the reader to take what was written before
        Clock::time_point since;  // when that was written
        bool sawUnread = false;   // it was seen waiting in the slave
        std::uint64_t number = 0; // the frame or fault it answers
    };

    void run();
    void readLine();
    void answer(const FrameParser::Event& frame, Clock::time_point arrived);
    void writeDue(Clock::time_point now);
    bool readerHasTaken(Pending& pending, Clock::time_point now) const;
    void writeReply(const Pending& pending);
    void dropStaleFrame(Clock::time_point now);
    void closeLine(std::string why);
    int pollTimeout(Clock::time_point now) const;
    void notify(const Event& event);
    void wake();

    // The line, the parser and the queue of pending writes belong to the board's thread while it
    // runs, and to the controlling thread otherwise.
    PseudoTerminal terminal_;
    FrameParser parser_;
    std::deque<Pending> pending_;
    std::uint64_t answered_ = 0; // frames and faults answered so far
    Clock::time_point lastByte_; // when the last bytes from the program came
    const DCCPacketDecoder decoder_;
    const Observer observer_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    std::mutex controlMutex_; // start, stop and hangUp against each other
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> hangUpRequested_{false};

    mutable std::mutex mutex_; // the members below
    ReplyShaper shaper_;
    LayoutModel layout_;
    Counters counters_;
    bool hungUp_ = false;
};
