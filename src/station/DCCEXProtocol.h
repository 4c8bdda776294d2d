#pragma once

#include "StationProtocol.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

// A DCC-EX command station, spoken to in its text commands. Each DCC packet is read back into
// what it asks for: a speed becomes "<t cab speed dir>", a function group one "<F cab f v>" per
// function, the broadcast emergency stop "<!>"; any other packet goes raw as "<M 0 hh ...>".
// Every write ends with "<#>", whose "<# n>" answer is the one reply event for the write (the
// station acknowledges nothing else). The station refreshes every locomotive itself.
//
// Replies are lines "<...>"; diagnostics "<* ... *>" may span lines and hold '>'. Bytes may come
// split and merged in any way.
//
// Threading and ownership as StationProtocol.
class DCCEXProtocol final : public StationProtocol {
public:
    // Bytes of one line (or run of garbage) kept; the rest of a longer one is dropped.
    static constexpr std::size_t maxLineLength = 1024;

    StationKind kind() const override { return StationKind::dccex; }

    // The commands for packet (error byte last; one whose error byte does not match is sent raw),
    // then "<#>".
    Bytes encodePacket(std::span<const std::uint8_t> packet) override;
    Bytes encodePower(bool on) const override;
    Bytes greeting() const override;

    // How the baseline speed and function packets to address are read: 14 speed steps (bit 4 of
    // the speed instruction is F0, and function group one carries no F0) or, for any other
    // value, 28 (the default for every address).
    void setSpeedSteps(std::int64_t address, int steps) override;

    // Events, in order: reply for "<# n>"; power for "<p1>"/"<p0>" on the main track (no track
    // word, MAIN, A or JOIN; other tracks give a notice); locomotive for "<l cab slot speed
    // functions>"; refused for "<X>"; version for "<iDCC-EX ...>"; stationReset for the
    // "<* License ... *>" banner and notice for other diagnostics (the text inside) and other
    // lines; unknown for an unterminated line or a run of anything but blanks outside brackets.
    // A line past maxLineLength is cut there and read as if it ended; the first time, a
    // lineTooLong event follows it. Texts are printable (see printableText).
    std::vector<StationEvent> feed(std::span<const std::uint8_t> bytes) override;
    void clear() override;

    int repeats() const override { return 1; }
    bool repeatsInSecondQueue() const override { return false; }
    bool refreshesItself() const override { return true; }
    bool keepsLinkBusy() const override { return false; }

private:
    enum class State {
        between,            // outside brackets; text_ holds a run of garbage, if any
        line,               // text_ holds "<..." up to its '>'
        diagnostic,         // text_ holds "<*..." up to its "*>"
        droppingLine,       // the rest of a cut line, up to '>' or a newline
        droppingGarbage,    // the rest of a cut run of garbage, up to '<' or a newline
        droppingDiagnostic, // the rest of a cut diagnostic, up to "*>"
    };

    std::string packetCommands(std::span<const std::uint8_t> packet) const;
    bool hasFourteenSteps(std::int64_t address) const;

    void take(char c, std::vector<StationEvent>& events);
    void cut(std::vector<StationEvent>& events);
    void endGarbage(std::vector<StationEvent>& events);
    void endUnterminatedLine(std::vector<StationEvent>& events);
    static StationEvent lineEvent(std::string_view line);
    static StationEvent diagnosticEvent(std::string_view diagnostic);

    std::set<std::int64_t> fourteenStepAddresses_;
    State state_ = State::between;
    std::string text_;
    char previous_ = 0; // the byte before, while dropping a diagnostic
    bool toldTooLong_ = false;
};
