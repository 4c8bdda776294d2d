#include "WiThrottleLine.h"

#include "DCCSpeedEncoding.h"
#include "Roster.h"

#include <algorithm>
#include <charconv>

std::optional<std::int64_t> WiThrottleLine::integerOf(std::string_view text) {
    std::int64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> WiThrottleLine::addressOfKey(std::string_view key, std::string& alert) {
    const std::string quoted = "'" + oneLine(key) + "'";
    const bool digitsOnly = key.size() >= 2 && std::all_of(key.begin() + 1, key.end(), [](char c) {
                                return c >= '0' && c <= '9';
                            });
    if (!digitsOnly || (key[0] != 'S' && key[0] != 'L') || key.size() > 8) {
        alert = "Address " + quoted + " must be S or L and then digits";
        return std::nullopt;
    }
    const std::int64_t address = *integerOf(key.substr(1));
    if (key[0] == 'S' && (address < minimumLocoAddress || address > maximumShortLocoAddress)) {
        alert = "Address " + quoted + " is not a short address: S1 to S127";
        return std::nullopt;
    }
    if (key[0] == 'L' && address >= minimumLocoAddress && address <= maximumShortLocoAddress) {
        alert = "Address " + quoted + " is sent as a short address here: use S" +
                std::to_string(address);
        return std::nullopt;
    }
    if (key[0] == 'L' && !isValidLocoAddress(address)) {
        alert = "Address " + quoted + " is not a long address: L128 to L10239";
        return std::nullopt;
    }
    return address;
}

std::string WiThrottleLine::keyOf(std::int64_t address) {
    return (address <= maximumShortLocoAddress ? "S" : "L") + std::to_string(address);
}

// Rounding to nearest both ways: the two scales differ by less than one part in 126, so the
// round trip from V lands on V again.
std::int64_t WiThrottleLine::speedOfV(std::int64_t v) {
    const std::int64_t clamped = std::clamp<std::int64_t>(v, 0, topV);
    return (clamped * maximumLocoSpeed + topV / 2) / topV;
}

std::int64_t WiThrottleLine::vOfSpeed(std::int64_t speed) {
    const std::int64_t clamped = std::clamp<std::int64_t>(speed, 0, maximumLocoSpeed);
    return (clamped * topV + maximumLocoSpeed / 2) / maximumLocoSpeed;
}

std::optional<std::int64_t> WiThrottleLine::speedModeOfStepCode(std::int64_t code) {
    switch (code) {
    case 1:
        return 2;
    case 2:
        return 1;
    case 8:
        return 0;
    default:
        return std::nullopt;
    }
}

std::int64_t WiThrottleLine::stepCodeOfSpeedMode(std::int64_t mode) {
    switch (mode) {
    case 0:
        return 8;
    case 2:
        return 1;
    default:
        return 2;
    }
}

std::string WiThrottleLine::powerLine(TrackPower power) {
    switch (power) {
    case TrackPower::off:
        return "PPA0";
    case TrackPower::on:
        return "PPA1";
    case TrackPower::unknown:
        break;
    }
    return "PPA2";
}

std::string WiThrottleLine::rosterLine(const Roster& roster) {
    std::string line = "RL" + std::to_string(roster.entries().size());
    for (const RosterEntry& entry : roster.entries()) {
        line += listSeparator;
        line += oneLine(entry.name);
        line += fieldSeparator;
        line += std::to_string(entry.address);
        line += fieldSeparator;
        line += entry.address <= maximumShortLocoAddress ? "S" : "L";
    }
    return line;
}

std::string WiThrottleLine::functionLabels(const RosterEntry& entry) {
    std::string text;
    for (int function = 0; function < functionCount; ++function) {
        const std::string& label = entry.functionLabels[static_cast<std::size_t>(function)];
        text += listSeparator;
        text += label.empty() ? "F" + std::to_string(function) : oneLine(label);
    }
    return text;
}

std::string WiThrottleLine::alertLine(std::string_view text) {
    return "HM" + oneLine(text);
}

std::string WiThrottleLine::oneLine(std::string_view text) {
    std::string line(text);
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return line;
}

std::optional<WiThrottleLine::ThrottleCommand>
WiThrottleLine::throttleCommandOf(std::string_view line) {
    if (line.size() < 3 || line[0] != 'M') {
        return std::nullopt;
    }
    const std::string_view rest = line.substr(3);
    const std::size_t separator = rest.find(keySeparator);
    if (separator == std::string_view::npos) {
        return std::nullopt;
    }
    return ThrottleCommand{line[1], line[2], rest.substr(0, separator),
                           rest.substr(separator + keySeparator.size())};
}

std::string WiThrottleLine::throttleHeader(char throttle, char op, std::string_view key) {
    std::string header{'M', throttle, op};
    header += key;
    header += keySeparator;
    return header;
}

std::optional<WiThrottleLine::FunctionAction>
WiThrottleLine::functionActionOf(std::string_view text) {
    if (text.size() < 2 || (text[0] != '0' && text[0] != '1')) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> function = integerOf(text.substr(1));
    if (!function || !isValidFunction(*function) || text[1] == '-') {
        return std::nullopt;
    }
    return FunctionAction{text[0] == '1', static_cast<int>(*function)};
}
