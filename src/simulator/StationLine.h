#pragma once

#include "PseudoTerminal.h"
#include "SimulatorEvent.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

// The serving side of a simulated station: the pseudo-terminal, the thread that serves it, the
// wake-up pipe and the queue of writes to the program with their timing. The station says what
// the program's bytes mean and what to answer, through the hooks; the line does the rest.
//
// Each turn of the line's thread carries out a hang-up asked for, runs Hooks::turn, writes what is
// due, then waits for bytes from the program, a wake-up, the next write's due time or
// Hooks::deadline, whichever comes first, and hands the bytes that came to Hooks::received.
//
// Threading: start, stop and the destructor belong to one controlling thread; hangUp, isHungUp,
// writeCounts and wake may be called from any thread, also while the line runs. The hooks and the
// observer run on the line's thread only, never after stop() has returned; they must not call
// stop(). queue, queueHangUp, hangUpQueued and report belong to the line's thread while it runs
// (that is, to the hooks), and to the controlling thread otherwise.
//
// Ownership: the line owns the pseudo-terminal, the pipe and the thread; the destructor stops the
// thread and closes every descriptor. An owner whose hooks use its own members calls stop() in its
// destructor, before those members go.
class StationLine {
public:
    using Clock = std::chrono::steady_clock;
    using Observer = std::function<void(const SimulatorEvent&)>;

    struct Hooks {
        // Required: the bytes one read gave, in the order they came, and when they came.
        std::function<void(std::span<const std::uint8_t> bytes, Clock::time_point arrived)>
            received;
        // Optional: once a turn, before the writes that are due; may queue writes.
        std::function<void(Clock::time_point now)> turn;
        // Optional: when the station next wants a turn though nothing comes; none for never.
        std::function<std::optional<Clock::time_point>()> deadline;
    };

    struct WriteCounts {
        std::uint64_t whole = 0;  // writes the line took whole
        std::uint64_t failed = 0; // writes it took in part or not at all
    };

    // Opens the pseudo-terminal and the wake-up pipe; throws std::system_error if either cannot
    // be had. The observer gets the HungUp and WriteFailed events, and what report() is given.
    StationLine(Hooks hooks, Observer observer);
    ~StationLine();
    StationLine(const StationLine&) = delete;
    StationLine& operator=(const StationLine&) = delete;

    const std::string& slavePath() const { return terminal_.slavePath(); }

    // Starts the thread; does nothing if it runs. Throws std::system_error if it cannot start.
    void start();
    // Joins the thread and drops the writes not yet made. Safe to call when not running.
    void stop();
    // Closes the line: on the thread, with a HungUp event, while it runs; at once and without an
    // event otherwise. For good.
    void hangUp();
    bool isHungUp() const;
    // Counted before the WriteFailed event of a failed write.
    WriteCounts writeCounts() const;
    // Gives the thread a turn soon.
    void wake();

    // Queues one write of bytes, made once due has come. afterRead: it also waits until the
    // program has read what was written before, so that the two reach it in separate reads (a
    // reader that never reads holds it up at most a second). number: the frame or command it
    // answers, named in the WriteFailed event if the line does not take it whole; 0 for none.
    void queue(std::vector<std::uint8_t> bytes, Clock::time_point due, bool afterRead,
               std::uint64_t number = 0);
    // Queues closing the line, once due has come and the program has read what was written
    // before; the writes queued after it are dropped. why: the HungUp event's meaning.
    void queueHangUp(Clock::time_point due, std::string why);
    bool hangUpQueued() const;
    // Hands the event to the observer.
    void report(const SimulatorEvent& event) const;

private:
    struct Pending {
        bool hangUp = false; // close the line instead of writing, for the reason why
        std::string why;
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
        bool afterRead = false;
        Clock::time_point since;  // when the write before it went
        bool sawUnread = false;   // the bytes before it were seen waiting in the slave
        std::uint64_t number = 0; // what it answers
    };

    void run();
    void readLine();
    void writeDue(Clock::time_point now);
    bool readerHasTaken(Pending& pending, Clock::time_point now) const;
    void writeOut(const Pending& pending);
    int pollTimeout(Clock::time_point now) const;
    void closeLine(std::string why);

    const Hooks hooks_;
    const Observer observer_;

    // The terminal and the queue belong to the line's thread while it runs, and to the
    // controlling thread otherwise.
    PseudoTerminal terminal_;
    std::deque<Pending> pending_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    std::mutex controlMutex_; // start, stop and hangUp against each other
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> hangUpRequested_{false};

    mutable std::mutex stateMutex_; // the members below
    bool hungUp_ = false;
    WriteCounts writeCounts_;
};
