#include "StationKind.h"

#include <array>
#include <utility>

namespace {

struct Names {
    StationKind kind;
    std::string_view word;
    std::string_view title;
};

constexpr std::array<Names, 3> names{{
    {StationKind::board, "board", "Command-station board"},
    {StationKind::dccex, "dccex", "DCC-EX"},
    {StationKind::sprog, "sprog", "SPROG"},
}};

const Names& namesOf(StationKind kind) {
    for (const Names& n : names) {
        if (n.kind == kind) {
            return n;
        }
    }
    return names[0];
}

} // namespace

std::string_view stationKindWord(StationKind kind) {
    return namesOf(kind).word;
}

std::string_view stationKindTitle(StationKind kind) {
    return namesOf(kind).title;
}

std::optional<StationKind> stationKindFromWord(std::string_view word) {
    for (const Names& n : names) {
        if (n.word == word) {
            return n.kind;
        }
    }
    return std::nullopt;
}

std::optional<StationLineSettings> usualLineSettings(StationKind kind) {
    switch (kind) {
    case StationKind::dccex:
        return StationLineSettings{115200, false};
    case StationKind::sprog:
        return StationLineSettings{9600, true};
    case StationKind::board:
        break;
    }
    return std::nullopt;
}
