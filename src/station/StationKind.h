#pragma once

#include <cstdint>
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

// The line settings a station of a kind usually wants: DCC-EX 115200 8N1; SPROG 9600 8N1 with RTS
// and DTR on (a USB SPROG ignores the rate). None for the board, whose settings are the user's.
struct StationLineSettings {
    std::uint64_t baudRate = 0;
    bool assertsRTSAndDTR = false;
};
std::optional<StationLineSettings> usualLineSettings(StationKind kind);

// "board", "dccex" or "sprog": the word on the command line, in scripts and in settings.
std::string_view stationKindWord(StationKind kind);
// The kind a word names (as stationKindWord gives it); none for any other word.
std::optional<StationKind> stationKindFromWord(std::string_view word);
// The name the window shows: "Command-station board", "DCC-EX", "SPROG".
std::string_view stationKindTitle(StationKind kind);
