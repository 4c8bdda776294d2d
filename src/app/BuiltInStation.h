#pragma once

#include "LayoutModel.h"
#include "Observable.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class KESSerialPort;
class SimulatedBoard;

// The simulated command station inside the program, for a user with no board at hand: the board
// of the simulator on a pseudo-terminal of its own, and the KESSerialPort for its slave side,
// named "Simulated command station". From the port on everything is the real path: the cab opens
// it, writes frames, and the board's replies release the next ones.
//
// The station is started at most once (on first use) and lives until it is destroyed; the board
// serves the line on a thread of its own, which the destructor stops and joins. The port is not
// listed by the port manager: it is no device of the machine.
//
// What the board makes of each frame comes back to the main thread: "layout" (the board's decoded
// view of every locomotive) is announced after each frame, and the frame handler, if set, gets the
// board's line for it ("#1    03 03 78 7B   loco 3: step 14 of 28, forward").
//
// Threading: main thread only (a main queue must be installed when start is called). Nothing is
// delivered after destruction; reports the board made before it are dropped.
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

    // Starts the board on first call and answers its port, the same one on every later call. Null
    // when the system gives no pseudo-terminal or thread; then why says what went wrong.
    std::shared_ptr<KESSerialPort> start(std::string* why = nullptr);
    bool isRunning() const { return board_ != nullptr; }
    // Null before start.
    const std::shared_ptr<KESSerialPort>& port() const { return port_; }

    // The board's picture of the track as last reported; empty before the first frame.
    const LayoutModel& layout() const { return layout_; }
    // The board's picture of the track as it stands now, frames not yet reported included; empty
    // before start.
    LayoutModel boardLayout() const;
    // Frames the board has reported.
    std::uint64_t frames() const { return frames_; }

    // Called on the main thread with one line per frame or line event, in order.
    void setFrameHandler(FrameHandler handler) { frameHandler_ = std::move(handler); }

private:
    struct Inbox;

    void deliver();

    std::shared_ptr<Inbox> inbox_;
    std::unique_ptr<SimulatedBoard> board_;
    std::shared_ptr<KESSerialPort> port_;
    LayoutModel layout_;
    std::uint64_t frames_ = 0;
    FrameHandler frameHandler_;
};
