#pragma once

#include "LayoutModel.h"
#include "Observable.h"
#include "StationKind.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class KESSerialPort;
class SimulatedStation;

// The simulated command station inside the program, for a user with no station at hand: one of
// the simulator's stations (the board by default, or a DCC-EX or SPROG station) on a
// pseudo-terminal of its own, and the KESSerialPort for its slave side, named "Simulated command
// station". From the port on everything is the real path: the cab opens it, speaks the station's
// protocol, and the station's replies release what comes next.
//
// The station is started on first use and lives until it is destroyed or its kind changes; it
// serves the line on a thread of its own, which the destructor stops and joins. The port is not
// listed by the port manager: it is no device of the machine.
//
// What the station makes of each frame or command comes back to the main thread: "layout" (the
// station's decoded view of every locomotive) is announced after each, and the frame handler, if
// set, gets the station's line for it ("#1    03 03 78 7B   loco 3: step 14 of 28, forward", or
// "#1    <t 3 50 1>   loco 3: step 50 of 126, forward" for a text protocol).
//
// Threading: main thread only (a main queue must be installed when start is called). Nothing is
// delivered after destruction; reports the station made before it (or before its kind changed)
// are dropped.
//
// Observable keys: "isRunning", "layout".
class BuiltInStation : public Observable {
public:
    static constexpr const char* portName = "Simulated command station";

    using FrameHandler = std::function<void(const std::string& line)>;

    BuiltInStation();
    ~BuiltInStation() override;
    BuiltInStation(const BuiltInStation&) = delete;
    BuiltInStation& operator=(const BuiltInStation&) = delete;

    // The kind of station simulated; the board until set. Setting another kind while the station
    // runs closes its port, stops the station and lets go of both ("isRunning" becomes false, the
    // layout empties); the next start() starts a station of the new kind on a new port. Setting
    // the kind it already has does nothing.
    void setKind(StationKind kind);
    StationKind kind() const { return kind_; }

    // Starts the station on first call and answers its port, the same one on every later call
    // until the kind changes. Null when the system gives no pseudo-terminal or thread; then why
    // says what went wrong.
    std::shared_ptr<KESSerialPort> start(std::string* why = nullptr);
    bool isRunning() const { return station_ != nullptr; }
    // Null before start.
    const std::shared_ptr<KESSerialPort>& port() const { return port_; }
    // The running station, for tests that act on it (a DCC-EX station's restart, a SPROG's
    // overload); null before start. Owned by this object.
    SimulatedStation* simulated() const { return station_.get(); }

    // The station's picture of the track as last reported; empty before the first frame.
    const LayoutModel& layout() const { return layout_; }
    // The station's picture of the track as it stands now, frames not yet reported included;
    // empty before start.
    LayoutModel boardLayout() const;
    // Frames (or, for a text protocol, commands) the station has reported.
    std::uint64_t frames() const { return frames_; }

    // Called on the main thread with one line per frame or line event, in order.
    void setFrameHandler(FrameHandler handler) { frameHandler_ = std::move(handler); }

private:
    struct Inbox;

    void deliver();
    // Closes the port and stops the station, if they are there.
    void shutDown();

    std::shared_ptr<Inbox> inbox_;
    StationKind kind_ = StationKind::board;
    std::unique_ptr<SimulatedStation> station_;
    std::shared_ptr<KESSerialPort> port_;
    LayoutModel layout_;
    std::uint64_t frames_ = 0;
    FrameHandler frameHandler_;
};
