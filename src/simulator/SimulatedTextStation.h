#pragma once

#include "DCCPacketDecoder.h"
#include "DecodedPacket.h"
#include "LayoutModel.h"
#include "SimulatedStation.h"
#include "SpeedMode.h"
#include "StationLine.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

// What the stations that speak a text protocol share: the line that serves the pseudo-terminal
// (StationLine), the track power and the layout model. A derived class reads the program's bytes
// in received() and answers through reply().
//
// Threading: as SimulatedStation says. In addition isPowerOn and inject may be called from any
// thread. received(), and the tasks given to post(), run on the station's thread while it runs;
// a task posted while it is stopped waits for the next start(). A task posted before some bytes
// were written to the slave runs before those bytes reach received(), so a test that calls a
// method and then sends a command sees the method's effect in the reply.
//
// A derived class must call stop() in its own destructor: the thread calls into it.
class SimulatedTextStation : public SimulatedStation {
public:
    ~SimulatedTextStation() override;

    const std::string& slavePath() const override { return line_.slavePath(); }
    void start() override;
    void stop() override;
    void hangUp() override;
    bool isHungUp() const override;
    LayoutModel layout() const override;

    // Whether the track has power: packets change the layout only while it has.
    bool isPowerOn() const;
    // Writes bytes to the program as they are, in one write, after the replies already due; an
    // Unprompted event says so. For tests that need garbage or overlong lines on the line.
    void inject(std::string bytes);

protected:
    // Opens the pseudo-terminal and the wake-up pipe; throws std::system_error if either cannot
    // be had. powerOn: whether the track has power from the start. baselineMode: how the decoder
    // reads baseline speed packets (see DCCPacketDecoder).
    SimulatedTextStation(Observer observer, bool powerOn, SpeedMode baselineMode);

    // Station thread: the bytes the program wrote, in the order they came, in any pieces.
    virtual void received(std::string_view bytes) = 0;

    // Station thread only (received and posted tasks). Queues one write of text to the program;
    // afterRead: it waits until the program has read what was written before, so that the two
    // reach it in separate reads (a reader that never reads holds it up at most a second).
    void reply(std::string text, bool afterRead = false);
    // Station thread only: hands the event to the observer.
    void report(const SimulatorEvent& event);
    // Station thread only: the number of the next command, from 1.
    std::uint64_t nextNumber() { return ++numbered_; }
    // Any thread: runs task on the station's thread, in order with the program's bytes.
    void post(std::function<void()> task);
    // Station thread only: decodes a packet (address first, error byte last) and, while the
    // track has power, applies it to the layout.
    DecodedPacket applyPacket(std::span<const std::uint8_t> packet);

    // The members below are read by layout() and isPowerOn() from any thread: the station's
    // thread changes them with stateMutex_ held.
    mutable std::mutex stateMutex_;
    LayoutModel layout_;
    bool powerOn_;

private:
    void runTasks();

    StationLine line_;
    std::uint64_t numbered_ = 0; // station thread only
    const DCCPacketDecoder decoder_;

    std::mutex tasksMutex_; // the tasks posted and not yet run
    std::deque<std::function<void()>> tasks_;
};
