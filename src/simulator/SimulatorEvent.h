#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a simulated station reports to its observer: one event for every frame or command it takes
// from the program, and one for each thing that happens to the line or that the station does on
// its own. A plain value.
struct SimulatorEvent {
    enum class Kind {
        Frame,        // a good board frame: meaning is the decoded packet
        BadErrorByte, // a frame or packet whose error byte is wrong
        BadLength,    // a byte that cannot start a frame
        Incomplete,   // a frame whose rest did not come within the frame time-out
        HungUp,       // the line was closed: meaning says why
        WriteFailed,  // the line did not take a reply whole: meaning says why
        Command,      // a text command the station understood: meaning says what it did
        BadCommand,   // a text command the station rejected: meaning says why
        Unprompted,   // the station acted on its own (a restart, an overload, injected bytes)
    };
    Kind kind = Kind::Frame;
    std::uint64_t number = 0;        // frames, commands and faults counted from 1; 0 otherwise
    std::vector<std::uint8_t> bytes; // as received (for Unprompted: as written)
    std::string meaning;
    std::string reply;     // the reply due, before the knobs have their say
    std::string replyNote; // what the knobs did to it; empty when it went as is
};
