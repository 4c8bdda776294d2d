#pragma once

#include <optional>
#include <string>
#include <string_view>

// The kinds of command station the program speaks to. Each turns the DCC packets the cab sends
// into its own wire protocol (see StationProtocol).
enum class StationKind {
    board, // the command-station board: a length byte, the packet, any reply releases the next
    dccex, // a DCC-EX command station (text commands in <...>)
    sprog, // a SPROG in command-station mode (O hh hh ..., replies end with a prompt)
};

// "board", "dccex" or "sprog": the word on the command line, in scripts and in settings.
std::string_view stationKindWord(StationKind kind);
// The kind a word names (as stationKindWord gives it); none for any other word.
std::optional<StationKind> stationKindFromWord(std::string_view word);
// The name the window shows: "Command-station board", "DCC-EX", "SPROG".
std::string_view stationKindTitle(StationKind kind);
