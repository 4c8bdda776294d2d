#include "SimulatedDCCEX.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <utility>

namespace {

constexpr const char* statusLine = "<iDCC-EX V-5.0.0 / SIMULATED / DCC Cab>\n";
constexpr const char* licenceLine = "<* License GPLv3 fsf.org (c) dcc-ex.com *>\n";
constexpr int highestCab = 10239;
constexpr int highestShortCab = 127;
constexpr int highestFunction = 28;
constexpr std::size_t maxWords = 10;

// A signed decimal that fits the station's 16-bit parameters.
std::optional<int> decimal(const std::string& word) {
    int value = 0;
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    if (error != std::errc() || stop != end || value < -32768 || value > 32767) {
        return std::nullopt;
    }
    return value;
}

// Up to digits hexadecimal digits, either case.
std::optional<unsigned> hex(const std::string& word, std::size_t digits) {
    unsigned value = 0;
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value, 16);
    if (word.empty() || word.size() > digits || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

bool inRange(const std::optional<int>& value, int low, int high) {
    return value && *value >= low && *value <= high;
}

LocoAddress addressOf(int cab) {
    return {static_cast<std::uint16_t>(cab), cab > highestShortCab};
}

// The packet to cab with the instruction bytes, its address first and its error byte last.
std::vector<std::uint8_t> packetTo(int cab, std::initializer_list<std::uint8_t> instruction) {
    std::vector<std::uint8_t> packet;
    if (cab > highestShortCab) {
        packet.push_back(static_cast<std::uint8_t>(0xC0 | cab >> 8));
    }
    packet.push_back(static_cast<std::uint8_t>(cab & 0xFF));
    packet.insert(packet.end(), instruction);
    std::uint8_t check = 0;
    for (const std::uint8_t byte : packet) {
        check ^= byte;
    }
    packet.push_back(check);
    return packet;
}

} // namespace

struct SimulatedDCCEX::Outcome {
    bool understood = true;
    std::string meaning;
    std::string reply = {};

    // A command the station answers with <X>.
    static Outcome refused(std::string why) { return {false, "bad command: " + std::move(why)}; }
};

SimulatedDCCEX::SimulatedDCCEX(Observer observer, bool powerOn, SpeedMode baselineMode)
    : SimulatedTextStation(std::move(observer), powerOn, baselineMode) {}

SimulatedDCCEX::~SimulatedDCCEX() {
    stop();
}

void SimulatedDCCEX::restart() {
    post([this] {
        command_.clear();
        inCommand_ = false;
        locos_.clear();
        {
            const std::lock_guard lock(stateMutex_);
            layout_ = {};
            powerOn_ = false;
        }
        const std::string banner = std::string(licenceLine) + statusLine + "<p0>\n";
        SimulatorEvent event;
        event.kind = SimulatorEvent::Kind::Unprompted;
        event.bytes.assign(banner.begin(), banner.end());
        event.meaning = "restarted: every loco forgotten, power off";
        report(event);
        reply(banner);
    });
}

void SimulatedDCCEX::received(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '<') {
            command_.assign(1, '<');
            inCommand_ = true;
            dropped_ = 0;
        } else if (!inCommand_) {
            // Outside the brackets: ignored, as the station ignores line ends and noise.
        } else if (c == '>') {
            command_ += c;
            inCommand_ = false;
            execute(command_);
        } else if (command_.size() + 1 < maxCommand) {
            command_ += c;
        } else {
            ++dropped_;
        }
    }
}

void SimulatedDCCEX::execute(const std::string& command) {
    const std::string_view body = std::string_view(command).substr(1, command.size() - 2);
    std::vector<std::string> words;
    Outcome outcome;
    bool wellFormed = !body.empty();
    for (std::size_t i = 1; wellFormed && i < body.size(); ++i) {
        const char c = body[i];
        if (c == ' ') {
            continue;
        }
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            outcome = Outcome::refused("only letters, digits and '-' may stand between the spaces");
            wellFormed = false;
            break;
        }
        if (i == 1 || body[i - 1] == ' ') {
            words.emplace_back();
        }
        words.back() += c;
    }
    if (body.empty()) {
        outcome = Outcome::refused("no opcode");
    } else if (words.size() >= maxWords) {
        outcome = Outcome::refused("more than " + std::to_string(maxWords - 1) + " parameters");
    } else if (wellFormed) {
        const char opcode = body[0];
        if (opcode == 's' && words.empty()) {
            outcome = {true, "status", statusLine + std::string(isPowerOn() ? "<p1>\n" : "<p0>\n")};
        } else if (opcode == '#' && words.empty()) {
            outcome = {true, "size of the loco table", "<# " + std::to_string(maxLocos) + ">\n"};
        } else if (opcode == 't') {
            outcome = speed(words);
        } else if (opcode == 'F') {
            outcome = function(words);
        } else if (opcode == '!' && words.empty()) {
            outcome = emergencyStop();
        } else if (opcode == '1' || opcode == '0') {
            outcome = power(words, opcode == '1');
        } else if (opcode == 'M') {
            outcome = rawPacket(words);
        } else {
            outcome = Outcome::refused("unknown command");
        }
    }
    if (!outcome.understood) {
        outcome.reply = "<X>\n";
    }
    if (dropped_ > 0) {
        outcome.meaning += " (" + std::to_string(dropped_) + " characters beyond " +
                           std::to_string(maxCommand) + " dropped)";
    }

    SimulatorEvent event;
    event.kind =
        outcome.understood ? SimulatorEvent::Kind::Command : SimulatorEvent::Kind::BadCommand;
    event.number = nextNumber();
    event.bytes.assign(command.begin(), command.end());
    event.meaning = std::move(outcome.meaning);
    event.reply = outcome.reply;
    report(event);
    reply(std::move(outcome.reply));
}

SimulatedDCCEX::Outcome SimulatedDCCEX::speed(const std::vector<std::string>& words) {
    if (words.size() == 1) {
        const std::optional<int> cab = decimal(words[0]);
        if (!inRange(cab, 0, highestCab)) {
            return Outcome::refused("<t cab> needs a cab from 0 to 10239");
        }
        const Loco* loco = findLoco(*cab);
        return {true, addressOf(*cab).toString() + ": state asked",
                loco != nullptr ? locoLine(*loco) : "<l " + std::to_string(*cab) + " -1 128 0>\n"};
    }
    if (words.size() != 3 && words.size() != 4) {
        return Outcome::refused("<t> takes cab, speed and direction");
    }
    const std::size_t first = words.size() - 3;
    const std::optional<int> cab = decimal(words[first]);
    const std::optional<int> speed = decimal(words[first + 1]);
    const std::optional<int> direction = decimal(words[first + 2]);
    if (!inRange(cab, 1, highestCab) || !inRange(speed, -1, 126) || !inRange(direction, 0, 1)) {
        return Outcome::refused("<t> needs cab 1-10239, speed -1-126 and direction 0 or 1");
    }
    Loco* loco = takeLoco(*cab);
    if (loco == nullptr) {
        return Outcome::refused("the loco table is full");
    }
    const int code = *speed < 0 ? 1 : *speed == 0 ? 0 : *speed + 1;
    const auto speedByte = static_cast<std::uint8_t>(code | (*direction == 1 ? 0x80 : 0));
    const bool changed = speedByte != loco->speedByte;
    loco->speedByte = speedByte;
    Outcome outcome{true, sendSpeed(*loco).text};
    if (words.size() == 4) {
        outcome.reply = "<T " + words[0] + " " + words[2] + " " + words[3] + ">\n";
    }
    if (changed) {
        outcome.reply += locoLine(*loco);
    }
    return outcome;
}

SimulatedDCCEX::Outcome SimulatedDCCEX::function(const std::vector<std::string>& words) {
    if (words.size() != 3) {
        return Outcome::refused("<F> takes cab, function and 0 or 1");
    }
    const std::optional<int> cab = decimal(words[0]);
    const std::optional<int> f = decimal(words[1]);
    const std::optional<int> on = decimal(words[2]);
    if (!inRange(cab, 1, highestCab) || !inRange(f, 0, highestFunction) || !inRange(on, 0, 1)) {
        return Outcome::refused("<F> needs cab 1-10239, function 0-28 and 0 or 1");
    }
    Loco* loco = takeLoco(*cab);
    if (loco == nullptr) {
        return Outcome::refused("the loco table is full");
    }
    const std::uint32_t bit = 1u << *f;
    const std::uint32_t before = loco->functions;
    loco->functions = *on == 1 ? before | bit : before & ~bit;
    loco->everSent |= bit;
    sendFunctions(*loco, *f);
    return {true,
            addressOf(*cab).toString() + ": F" + std::to_string(*f) + (*on == 1 ? " on" : " off") +
                (isPowerOn() ? "" : " (no power: remembered for later)"),
            loco->functions != before ? locoLine(*loco) : std::string()};
}

SimulatedDCCEX::Outcome SimulatedDCCEX::emergencyStop() {
    // The broadcast stop reaches every decoder on the track; the table's speeds keep them there.
    const std::uint8_t broadcastStop[] = {0x00, 0x71, 0x71};
    applyPacket(broadcastStop);
    Outcome outcome{true, "emergency stop: every loco"};
    for (Loco& loco : locos_) {
        const auto stopped = static_cast<std::uint8_t>((loco.speedByte & 0x80) | 1);
        if (stopped != loco.speedByte) {
            loco.speedByte = stopped;
            outcome.reply += locoLine(loco);
        }
        sendSpeed(loco);
    }
    return outcome;
}

SimulatedDCCEX::Outcome SimulatedDCCEX::power(const std::vector<std::string>& words, bool on) {
    std::string track = words.empty() ? std::string() : words[0];
    for (char& c : track) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (words.size() > 1 || (!words.empty() && track != "MAIN")) {
        return Outcome::refused("this station has only the main track");
    }
    bool changed;
    {
        const std::lock_guard lock(stateMutex_);
        changed = powerOn_ != on;
        powerOn_ = on;
    }
    if (!changed) {
        return {true, std::string(on ? "power on" : "power off") + " (it was already)"};
    }
    if (on) {
        // The station's refresh puts what it remembers back on the track.
        for (const Loco& loco : locos_) {
            sendSpeed(loco);
            for (int f = 0; f <= highestFunction; ++f) {
                if (loco.everSent >> f & 1) {
                    sendFunctions(loco, f);
                }
            }
        }
    }
    return {true, on ? "power on" : "power off", on ? "<p1>\n" : "<p0>\n"};
}

SimulatedDCCEX::Outcome SimulatedDCCEX::rawPacket(const std::vector<std::string>& words) {
    if (words.size() < 2 || words.size() > 6 || !hex(words[0], 4)) {
        return Outcome::refused("<M> takes a register and 1 to 5 packet bytes");
    }
    std::vector<std::uint8_t> packet;
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::optional<unsigned> byte = hex(words[i], 2);
        if (!byte) {
            return Outcome::refused("<M> packet bytes are two hex digits each");
        }
        packet.push_back(static_cast<std::uint8_t>(*byte));
        check ^= static_cast<std::uint8_t>(*byte);
    }
    packet.push_back(check);
    const DecodedPacket decoded = applyPacket(packet);
    return {true, decoded.text + (isPowerOn() ? "" : " (no power: not applied)")};
}

SimulatedDCCEX::Loco* SimulatedDCCEX::findLoco(int cab) {
    for (Loco& loco : locos_) {
        if (loco.cab == cab) {
            return &loco;
        }
    }
    return nullptr;
}

SimulatedDCCEX::Loco* SimulatedDCCEX::takeLoco(int cab) {
    if (Loco* loco = findLoco(cab)) {
        return loco;
    }
    if (locos_.size() >= maxLocos) {
        return nullptr;
    }
    Loco& loco = locos_.emplace_back();
    loco.cab = cab;
    return &loco;
}

std::string SimulatedDCCEX::locoLine(const Loco& loco) const {
    const auto slot = static_cast<std::size_t>(&loco - locos_.data());
    return "<l " + std::to_string(loco.cab) + " " + std::to_string(slot) + " " +
           std::to_string(loco.speedByte) + " " + std::to_string(loco.functions) + ">\n";
}

DecodedPacket SimulatedDCCEX::sendSpeed(const Loco& loco) {
    const DecodedPacket decoded = applyPacket(packetTo(loco.cab, {0x3F, loco.speedByte}));
    if (isPowerOn()) {
        return decoded;
    }
    DecodedPacket remembered = decoded;
    remembered.text += " (no power: remembered for later)";
    return remembered;
}

DecodedPacket SimulatedDCCEX::sendFunctions(const Loco& loco, int f) {
    const std::uint32_t map = loco.functions;
    const auto bits = [map](int first, unsigned mask) {
        return static_cast<std::uint8_t>(map >> first & mask);
    };
    if (f <= 4) {
        return applyPacket(
            packetTo(loco.cab, {static_cast<std::uint8_t>(0x80 | (map & 1) << 4 | bits(1, 0x0F))}));
    }
    if (f <= 8) {
        return applyPacket(packetTo(loco.cab, {static_cast<std::uint8_t>(0xB0 | bits(5, 0x0F))}));
    }
    if (f <= 12) {
        return applyPacket(packetTo(loco.cab, {static_cast<std::uint8_t>(0xA0 | bits(9, 0x0F))}));
    }
    return applyPacket(packetTo(loco.cab, {static_cast<std::uint8_t>(f <= 20 ? 0xDE : 0xDF),
                                           bits(f <= 20 ? 13 : 21, 0xFF)}));
}
