#include "DCCEXProtocol.h"

#include "StationText.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <utility>

namespace {

constexpr std::size_t maxRawBytes = 5; // the most the station takes in one "<M>"

bool isNewline(char c) {
    return c == '\n' || c == '\r';
}

// "<M 0 hh ...>" with the packet's bytes before its error byte.
std::string rawCommand(std::span<const std::uint8_t> packet) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const std::size_t count = std::min(packet.empty() ? 0 : packet.size() - 1, maxRawBytes);
    std::string command = "<M 0";
    for (const std::uint8_t byte : packet.first(count)) {
        command += ' ';
        command += digits[byte >> 4];
        command += digits[byte & 0x0F];
    }
    return command + ">";
}

// Where a packet goes: its address (0 for broadcast) and where its instruction starts.
struct Destination {
    std::int64_t address = 0;
    std::size_t instructionAt = 0;
};

std::optional<Destination> destinationOf(std::span<const std::uint8_t> body) {
    if (body.empty()) {
        return std::nullopt;
    }
    const std::uint8_t first = body[0];
    if (first <= 0x7F) {
        return Destination{first, 1};
    }
    if (first >= 0xC0 && first <= 0xE7 && body.size() >= 2) {
        const std::int64_t address = ((first & 0x3F) << 8) | body[1];
        if (address == 0) {
            return std::nullopt; // the long form of 0 is reserved, not the broadcast address
        }
        return Destination{address, 2};
    }
    return std::nullopt;
}

bool isBaselineSpeed(std::uint8_t instruction) {
    return (instruction & 0xC0) == 0x40;
}

bool isEmergencyStop(std::span<const std::uint8_t> instruction) {
    if (instruction.size() == 2 && instruction[0] == 0x3F) {
        return (instruction[1] & 0x7F) == 1;
    }
    return instruction.size() == 1 && isBaselineSpeed(instruction[0]) &&
           (instruction[0] & 0x0F) == 1;
}

std::string speedCommand(std::int64_t address, int speed, bool forward) {
    return "<t " + std::to_string(address) + " " + std::to_string(speed) + " " +
           (forward ? "1" : "0") + ">";
}

std::string functionCommand(std::int64_t address, int function, bool on) {
    return "<F " + std::to_string(address) + " " + std::to_string(function) + " " +
           (on ? "1" : "0") + ">";
}

// One "<F>" per function, first..first+count-1 from bits 0 up of bits.
std::string functionCommands(std::int64_t address, int first, int count, unsigned bits) {
    std::string commands;
    for (int n = 0; n < count; ++n) {
        commands += functionCommand(address, first + n, ((bits >> n) & 1) != 0);
    }
    return commands;
}

std::optional<std::int64_t> numberOf(std::string_view word) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc{} || end != word.data() + word.size()) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string_view> wordsOf(std::string_view text) {
    std::vector<std::string_view> words;
    while (true) {
        const std::size_t start = text.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            return words;
        }
        text.remove_prefix(start);
        const std::size_t end = std::min(text.find(' '), text.size());
        words.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
}

// "<l cab slot speedbyte functmap>" as a locomotive event; none if any field does not fit.
std::optional<StationEvent> locomotiveEvent(std::string_view fields, std::string text) {
    const std::vector<std::string_view> words = wordsOf(fields);
    if (words.size() != 4) {
        return std::nullopt;
    }
    const auto cab = numberOf(words[0]);
    const auto slot = numberOf(words[1]);
    const auto speedByte = numberOf(words[2]);
    const auto functions = numberOf(words[3]);
    if (!cab || !slot || !speedByte || !functions || *cab < 1 || *cab > 10239 || *speedByte < 0 ||
        *speedByte > 255 || *functions < 0 || *functions > 0xFFFFFFFF) {
        return std::nullopt;
    }
    StationEvent event = eventOf(StationEvent::Kind::locomotive, std::move(text));
    event.address = *cab;
    event.speedByte = static_cast<int>(*speedByte);
    event.functions = static_cast<std::uint32_t>(*functions);
    return event;
}

// "<p1>", "<p0 MAIN>" and so on as a power event when they speak of the main track.
std::optional<StationEvent> powerEvent(std::string_view fields, std::string text) {
    if (fields.empty() || (fields[0] != '0' && fields[0] != '1')) {
        return std::nullopt;
    }
    const std::string_view track = fields.substr(1);
    if (!track.empty() && track[0] != ' ') {
        return std::nullopt;
    }
    const std::vector<std::string_view> words = wordsOf(track);
    if (words.size() > 1 ||
        (words.size() == 1 && words[0] != "MAIN" && words[0] != "A" && words[0] != "JOIN")) {
        return std::nullopt;
    }
    StationEvent event = eventOf(StationEvent::Kind::power, std::move(text));
    event.power = fields[0] == '1' ? TrackPower::on : TrackPower::off;
    return event;
}

} // namespace

Bytes DCCEXProtocol::encodePacket(std::span<const std::uint8_t> packet) {
    return bytesOf(packetCommands(packet) + "<#>");
}

Bytes DCCEXProtocol::encodePower(bool on) const {
    return bytesOf(on ? "<1><#>" : "<0><#>");
}

Bytes DCCEXProtocol::greeting() const {
    return bytesOf("<s><#>");
}

void DCCEXProtocol::setSpeedSteps(std::int64_t address, int steps) {
    if (steps == 14) {
        fourteenStepAddresses_.insert(address);
    } else {
        fourteenStepAddresses_.erase(address);
    }
}

bool DCCEXProtocol::hasFourteenSteps(std::int64_t address) const {
    return fourteenStepAddresses_.contains(address);
}

std::string DCCEXProtocol::packetCommands(std::span<const std::uint8_t> packet) const {
    std::uint8_t check = 0;
    for (const std::uint8_t byte : packet) {
        check ^= byte;
    }
    if (packet.size() < 2 || check != 0) {
        return rawCommand(packet);
    }
    const std::span<const std::uint8_t> body = packet.first(packet.size() - 1);
    const std::optional<Destination> destination = destinationOf(body);
    if (!destination || destination->instructionAt >= body.size()) {
        return rawCommand(packet);
    }
    const std::int64_t address = destination->address;
    const std::span<const std::uint8_t> instruction = body.subspan(destination->instructionAt);
    if (address == 0) {
        return isEmergencyStop(instruction) ? "<!>" : rawCommand(packet);
    }

    const std::uint8_t op = instruction[0];
    const bool fourteen = hasFourteenSteps(address);
    if (instruction.size() == 2 && op == 0x3F) {
        const int code = instruction[1] & 0x7F;
        const int speed = code == 0 ? 0 : code == 1 ? -1 : code - 1;
        return speedCommand(address, speed, (instruction[1] & 0x80) != 0);
    }
    if (instruction.size() == 1 && isBaselineSpeed(op)) {
        const bool forward = (op & 0x20) != 0;
        if (fourteen) {
            const int v = op & 0x0F;
            const int speed = v == 0 ? 0 : v == 1 ? -1 : (v - 1) * 9;
            return speedCommand(address, speed, forward) + functionCommands(address, 0, 1, op >> 4);
        }
        const int v = ((op & 0x0F) << 1) | ((op >> 4) & 1);
        const int step = v - 3;
        const int speed = v < 2 ? 0 : v < 4 ? -1 : (step * 126 + 14) / 28; // rounded half up
        return speedCommand(address, speed, forward);
    }
    if (instruction.size() == 1 && (op & 0xE0) == 0x80) {
        std::string commands = fourteen ? "" : functionCommand(address, 0, (op & 0x10) != 0);
        return commands + functionCommands(address, 1, 4, op);
    }
    if (instruction.size() == 1 && (op & 0xE0) == 0xA0) {
        return functionCommands(address, (op & 0x10) != 0 ? 5 : 9, 4, op);
    }
    if (instruction.size() == 2 && (op == 0xDE || op == 0xDF)) {
        return functionCommands(address, op == 0xDE ? 13 : 21, 8, instruction[1]);
    }
    return rawCommand(packet);
}

std::vector<StationEvent> DCCEXProtocol::feed(std::span<const std::uint8_t> bytes) {
    std::vector<StationEvent> events;
    for (const std::uint8_t byte : bytes) {
        take(static_cast<char>(byte), events);
    }
    return events;
}

void DCCEXProtocol::clear() {
    state_ = State::between;
    text_.clear();
    previous_ = 0;
}

void DCCEXProtocol::take(char c, std::vector<StationEvent>& events) {
    switch (state_) {
    case State::between:
        if (c == '<') {
            endGarbage(events);
            text_.assign(1, '<');
            state_ = State::line;
        } else if (isNewline(c)) {
            endGarbage(events);
        } else if (text_.empty() && (c == ' ' || c == '\t')) {
            // blanks between lines are no garbage
        } else if (text_.size() == maxLineLength) {
            cut(events);
        } else {
            text_ += c;
        }
        break;
    case State::line:
        if (c == '*' && text_ == "<") {
            text_ += c;
            state_ = State::diagnostic;
        } else if (c == '>') {
            text_ += c;
            events.push_back(lineEvent(text_));
            text_.clear();
            state_ = State::between;
        } else if (isNewline(c)) {
            endUnterminatedLine(events);
        } else if (text_.size() == maxLineLength) {
            cut(events);
        } else {
            text_ += c;
        }
        break;
    case State::diagnostic:
        if (c == '>' && text_.size() > 2 && text_.back() == '*') {
            text_ += c;
            events.push_back(diagnosticEvent(text_));
            text_.clear();
            state_ = State::between;
        } else if (text_.size() == maxLineLength) {
            cut(events);
            previous_ = c;
        } else {
            text_ += c;
        }
        break;
    case State::droppingLine:
        if (c == '>' || isNewline(c)) {
            state_ = State::between;
        }
        break;
    case State::droppingGarbage:
        if (c == '<') {
            text_.assign(1, '<');
            state_ = State::line;
        } else if (isNewline(c)) {
            state_ = State::between;
        }
        break;
    case State::droppingDiagnostic:
        if (c == '>' && previous_ == '*') {
            state_ = State::between;
        }
        previous_ = c;
        break;
    }
}

void DCCEXProtocol::cut(std::vector<StationEvent>& events) {
    switch (state_) {
    case State::between:
        events.push_back(eventOf(StationEvent::Kind::unknown, printableText(text_)));
        state_ = State::droppingGarbage;
        break;
    case State::line:
        events.push_back(lineEvent(text_));
        state_ = State::droppingLine;
        break;
    default:
        events.push_back(diagnosticEvent(text_));
        state_ = State::droppingDiagnostic;
        break;
    }
    text_.clear();
    if (!toldTooLong_) {
        toldTooLong_ = true;
        events.push_back(eventOf(StationEvent::Kind::lineTooLong,
                                 "A line from the command station ran past 1024 bytes; the rest "
                                 "of it was dropped"));
    }
}

void DCCEXProtocol::endGarbage(std::vector<StationEvent>& events) {
    const std::string_view garbage = trimmedText(text_);
    if (!garbage.empty()) {
        events.push_back(eventOf(StationEvent::Kind::unknown, printableText(garbage)));
    }
    text_.clear();
}

void DCCEXProtocol::endUnterminatedLine(std::vector<StationEvent>& events) {
    events.push_back(eventOf(StationEvent::Kind::unknown, printableText(text_)));
    text_.clear();
    state_ = State::between;
}

StationEvent DCCEXProtocol::lineEvent(std::string_view line) {
    std::string text = printableText(line);
    std::string_view inside = line.substr(1);
    if (inside.ends_with('>')) {
        inside.remove_suffix(1);
    }
    const std::string_view fields = inside.empty() ? inside : inside.substr(1);
    switch (inside.empty() ? '\0' : inside[0]) {
    case '#':
        return eventOf(StationEvent::Kind::reply, {});
    case 'p':
        if (auto power = powerEvent(fields, text)) {
            return *power;
        }
        break;
    case 'l':
        if (auto locomotive = locomotiveEvent(fields, text)) {
            return *locomotive;
        }
        break;
    case 'X':
        if (fields.empty()) {
            return eventOf(StationEvent::Kind::refused, "The command station refused a command");
        }
        break;
    case 'i':
        if (fields.starts_with("DCC-EX")) {
            return eventOf(StationEvent::Kind::version, printableText(fields));
        }
        break;
    default:
        break;
    }
    return eventOf(StationEvent::Kind::notice, std::move(text));
}

StationEvent DCCEXProtocol::diagnosticEvent(std::string_view diagnostic) {
    std::string_view inside = diagnostic.substr(2);
    if (inside.ends_with("*>")) {
        inside.remove_suffix(2);
    }
    inside = trimmedText(inside);
    if (inside.starts_with("License")) {
        return eventOf(StationEvent::Kind::stationReset, printableText(diagnostic));
    }
    return eventOf(StationEvent::Kind::notice, printableText(inside));
}
