#include "SimulatedSPROG.h"

#include <charconv>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr const char* prompt = "P> ";
constexpr const char* errorText = "!E\r\n";
constexpr std::size_t minPacket = 2;
constexpr std::size_t maxPacket = 6;

// The bytes of "O hh hh ...": one or two hex digits each, separated by spaces. None if a word is
// not hex.
std::optional<std::vector<std::uint8_t>> packetBytes(std::string_view words) {
    std::vector<std::uint8_t> bytes;
    std::size_t at = 0;
    while (at < words.size()) {
        if (words[at] == ' ') {
            ++at;
            continue;
        }
        const std::size_t end = std::min(words.find(' ', at), words.size());
        unsigned value = 0;
        const auto [stop, error] =
            std::from_chars(words.data() + at, words.data() + end, value, 16);
        if (end - at > 2 || error != std::errc() || stop != words.data() + end) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
        at = end;
    }
    return bytes;
}

} // namespace

SimulatedSPROG::SimulatedSPROG(Observer observer, bool powerOn, SpeedMode baselineMode)
    : SimulatedTextStation(std::move(observer), powerOn, baselineMode) {}

SimulatedSPROG::~SimulatedSPROG() {
    stop();
}

void SimulatedSPROG::overload() {
    post([this] {
        {
            const std::lock_guard lock(stateMutex_);
            powerOn_ = false;
        }
        overloadOwed_ = true;
        SimulatorEvent event;
        event.kind = SimulatorEvent::Kind::Unprompted;
        event.meaning = "overload: track power off";
        report(event);
    });
}

void SimulatedSPROG::received(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '\r') {
            execute();
            command_.clear();
            dropped_ = 0;
        } else if (c == '\n') {
            // Ignored, so that a terminal's line end is one command.
        } else if (command_.size() < maxCommand) {
            command_ += c;
        } else {
            ++dropped_;
        }
    }
}

void SimulatedSPROG::execute() {
    SimulatorEvent event;
    event.kind = SimulatorEvent::Kind::Command;
    event.number = nextNumber();
    event.bytes.assign(command_.begin(), command_.end());
    event.bytes.push_back('\r');

    std::string_view text = command_;
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    const auto refuse = [&](SimulatorEvent::Kind kind, std::string why) {
        event.kind = kind;
        event.meaning = std::move(why);
        answer(event, errorText);
    };

    if (dropped_ > 0) {
        refuse(SimulatorEvent::Kind::BadCommand,
               "bad command: longer than " + std::to_string(maxCommand) + " characters");
    } else if (text.empty()) {
        event.meaning = "blank: the prompt";
        answer(event, "");
    } else if (text == "+" || text == "-") {
        const bool on = text == "+";
        {
            const std::lock_guard lock(stateMutex_);
            powerOn_ = on;
        }
        event.meaning = on ? "power on" : "power off";
        answer(event, "\r\n");
    } else if (text == "?") {
        event.meaning = "version";
        answer(event, "\r\nSPROG 3 Ver 4.6 (simulated)\r\n");
    } else if (text.front() == 'O' && (text.size() == 1 || text[1] == ' ')) {
        const std::optional<std::vector<std::uint8_t>> packet = packetBytes(text.substr(1));
        if (!packet || packet->size() < minPacket || packet->size() > maxPacket) {
            refuse(SimulatorEvent::Kind::BadCommand,
                   "bad command: O takes 2 to 6 hex bytes, the error byte last");
            return;
        }
        std::uint8_t check = 0;
        for (const std::uint8_t byte : *packet) {
            check ^= byte;
        }
        if (check != 0) {
            refuse(SimulatorEvent::Kind::BadErrorByte, "bad packet: wrong error byte");
            return;
        }
        const DecodedPacket decoded = applyPacket(*packet);
        event.meaning = decoded.text + (isPowerOn() ? "" : " (no power: not applied)");
        answer(event, "\r\n");
    } else {
        refuse(SimulatorEvent::Kind::BadCommand, "bad command: unknown");
    }
}

void SimulatedSPROG::answer(SimulatorEvent& event, std::string body) {
    if (overloadOwed_) {
        body += "!O\r\n";
        overloadOwed_ = false;
    }
    event.reply = body + prompt;
    report(event);
    if (body.empty()) {
        reply("P");
        reply("> ", true);
    } else {
        reply(std::move(body));
        reply(prompt, true);
    }
}
