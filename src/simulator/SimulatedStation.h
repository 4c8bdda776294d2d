#pragma once

#include "LayoutModel.h"
#include "SimulatorEvent.h"

#include <functional>
#include <string>

// A simulated command station on a pseudo-terminal: the program opens slavePath() as its serial
// port and speaks the station's protocol to it. Every implementation decodes what it is sent
// into DCC packets, applies them to a LayoutModel, and reports each frame or command it takes to
// an observer given at construction: an event with its number, the bytes as received and a
// one-line meaning.
//
// Threading, the same for every implementation: the station serves the line on a thread of its
// own between start() and stop(). start, stop and the destructor belong to one controlling
// thread; hangUp, isHungUp and layout may be called from any thread, also while it runs. The
// observer runs on the station's thread only, one event at a time, never after stop() has
// returned; it must not call stop() or destroy the station. A command's event is delivered, and
// the command applied to the layout, before its reply is written.
//
// Ownership: the station owns its pseudo-terminal, its wake-up pipe and its thread; the
// destructor stops the thread and closes every descriptor.
class SimulatedStation {
public:
    using Observer = std::function<void(const SimulatorEvent&)>;

    virtual ~SimulatedStation() = default;

    // The slave device, for example "/dev/pts/4".
    virtual const std::string& slavePath() const = 0;
    // Starts serving the line; does nothing if already running. Throws std::system_error if no
    // thread can be started.
    virtual void start() = 0;
    // Stops serving and joins the station's thread. Replies not yet written are dropped. Safe to
    // call when not running. Not from the observer.
    virtual void stop() = 0;
    // Closes the line: clients see it hang up, and the slave path goes away. While running this
    // happens on the station's thread shortly after the call (a HungUp event follows); otherwise
    // at once, without an event. A hung-up station stays hung up.
    virtual void hangUp() = 0;
    virtual bool isHungUp() const = 0;
    // A copy of the layout model as it stands.
    virtual LayoutModel layout() const = 0;

protected:
    SimulatedStation() = default;
    SimulatedStation(const SimulatedStation&) = delete;
    SimulatedStation& operator=(const SimulatedStation&) = delete;
};
