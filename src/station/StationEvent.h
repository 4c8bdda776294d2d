#pragma once

#include <cstdint>
#include <string>

// What the track power is, as far as the program knows.
enum class TrackPower { unknown, off, on };

// One thing a command station said, as its protocol reads it from the bytes it sends. A plain
// value.
struct StationEvent {
    enum class Kind {
        // The answer to one command written: the next may go. Board: any delivery. DCC-EX: the
        // "<# n>" that follows each command. SPROG: a reply ending with its prompt.
        reply,
        // The station reports track power (power: on or off). DCC-EX "<p1>"/"<p0>" (also with a
        // track name), SPROG none (see overload).
        power,
        // The station reports a locomotive's state, whichever throttle changed it (DCC-EX
        // "<l cab slot speedbyte functmap>"): address, speedByte (bit 7 forward; low seven bits
        // 0 stop, 1 emergency stop, 2 to 127 steps 1 to 126), functions (bit n for Fn).
        locomotive,
        // The station's name and version, text as it gave it (DCC-EX "<iDCC-EX V-...>" without
        // the brackets, SPROG the version line of its "?" reply).
        version,
        // The station refused a command (DCC-EX "<X>"); text says so in words.
        refused,
        // Track power cut out on overload or short circuit (SPROG "!O"): power is off.
        overload,
        // The station reported an error (SPROG "!E"); text says so in words.
        error,
        // The station has restarted (DCC-EX prints its banner again): what it knew is gone.
        stationReset,
        // A line to show and otherwise ignore: diagnostics ("<* ... *>"), "<@ ...>", station
        // replies with nothing for the program; text is the line.
        notice,
        // A line the protocol does not know, or garbage; text is what came, as printable text.
        unknown,
        // A line longer than the protocol accepts was cut; reported once per protocol object.
        lineTooLong,
    };

    Kind kind = Kind::notice;
    std::string text;
    TrackPower power = TrackPower::unknown; // for power and overload
    std::int64_t address = 0;               // for locomotive
    int speedByte = 0;                      // for locomotive
    std::uint32_t functions = 0;            // for locomotive

    bool operator==(const StationEvent&) const = default;
};
