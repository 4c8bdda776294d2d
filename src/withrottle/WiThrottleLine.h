#pragma once

#include "DCCFunctionEncoding.h"
#include "StationEvent.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class Roster;
struct RosterEntry;

// The WiThrottle protocol's text: reading the parts of a line a phone sends and writing the lines
// the server sends back. Pure functions, no state, any thread.
//
// Addresses are written as keys: "S<n>" for a short address (1 to 127), "L<n>" for a long one
// (128 to 10239). The cab sends addresses up to 127 in the short form, so "L3" is refused rather
// than driven as short address 3, which a decoder set to long address 3 would not hear.
//
// Speeds: a phone's V runs from 0 to 126 whatever the decoder's steps; the cab's speed from 0 to
// 127. speedOfV and vOfSpeed scale between them rounding to nearest, so every V comes back as
// itself, in every mode (the cab keeps the speed it was given, not only the step it sent).
class WiThrottleLine {
public:
    WiThrottleLine() = delete;

    // Between the entries of a list (also before the first), between the fields of an entry,
    // between a throttle command's key and its action.
    static constexpr std::string_view listSeparator = "]\\[";
    static constexpr std::string_view fieldSeparator = "}|{";
    static constexpr std::string_view keySeparator = "<;>";

    static constexpr std::int64_t topV = 126;
    // What the server reports for an emergency-stopped locomotive.
    static constexpr std::int64_t emergencyStopV = -126;

    // A decimal integer, optionally negative, and nothing else; empty otherwise (also on
    // overflow).
    static std::optional<std::int64_t> integerOf(std::string_view text);

    // The address key names; empty when it names none, with the reason (an alert's text, without
    // "HM") in alert.
    static std::optional<std::int64_t> addressOfKey(std::string_view key, std::string& alert);
    // "S3" for 1 to 127, "L341" above.
    static std::string keyOf(std::int64_t address);

    // V (0 to 126; beyond counts as 126, below as 0) as the cab's speed 0 to 127, and back.
    static std::int64_t speedOfV(std::int64_t v);
    static std::int64_t vOfSpeed(std::int64_t speed);

    // The cab's speed mode (0 = 14, 1 = 28, 2 = 128 steps) of a step code (8, 2, 1); empty for
    // the codes the cab cannot send (4 = 27 steps, 16 = Motorola) and any other.
    static std::optional<std::int64_t> speedModeOfStepCode(std::int64_t code);
    // The step code of a speed mode; 2 (28 steps) for a mode that is none of the three.
    static std::int64_t stepCodeOfSpeedMode(std::int64_t mode);

    // "PPA0" off, "PPA1" on, "PPA2" unknown.
    static std::string powerLine(TrackPower power);
    // "RL<n>" and one "]\[name}|{address}|{S|L" per entry.
    static std::string rosterLine(const Roster& roster);
    // "]\[label" for F0 to F28: the entry's label, or "F<n>" where it has none (as the window
    // shows it).
    static std::string functionLabels(const RosterEntry& entry);
    // "HM<text>", the alert a phone shows.
    static std::string alertLine(std::string_view text);
    // text as one line: carriage returns and line feeds become spaces.
    static std::string oneLine(std::string_view text);

    // A multi-throttle command "M<throttle><op><key><;><action>" taken apart; the views point
    // into the line. Empty unless the line starts with 'M' and has a throttle, an op and the key
    // separator.
    struct ThrottleCommand {
        char throttle = 0;
        char op = 0;
        std::string_view key;
        std::string_view action;
    };
    static std::optional<ThrottleCommand> throttleCommandOf(std::string_view line);
    // "M<throttle><op><key><;>", the start of every line about a throttle's locomotive.
    static std::string throttleHeader(char throttle, char op, std::string_view key);

    // A function action's "<0|1><n>" (after F, f or m): whether the digit is 1, and the function
    // 0 to 28; empty for anything else.
    struct FunctionAction {
        bool on = false;
        int function = 0;
    };
    static std::optional<FunctionAction> functionActionOf(std::string_view text);
};
