#pragma once

#include <functional>

// How a port starts the background threads of an opening: its read loop and its line poll.
//
// The program keeps the default, which just runs the start it is given (a start through
// BackgroundThreads, which throws std::system_error when the system has no thread to give).
// Tests install a starter that throws instead, to check that a failed start leaves nothing
// behind.
//
// Main thread only; install while no port is opening.
class KESSerialPortThreads {
public:
    enum class Kind { readLoop, linePoll };
    using Starter = std::function<void(Kind kind, const std::function<void()>& start)>;

    // Starts a thread of kind by running start through the installed starter. Whatever the
    // starter throws reaches the caller.
    static void start(Kind kind, const std::function<void()>& start);
    // Installs starter (empty: back to the default) and returns the one it replaces.
    static Starter install(Starter starter);
};
