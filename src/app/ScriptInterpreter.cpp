#include "ScriptInterpreter.h"

#include "DCCController.h"
#include "MemoryButton.h"
#include "MemoryTextField.h"
#include "MemoryValueControl.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

namespace {

std::optional<std::int64_t> number(const std::string& word) {
    std::int64_t value = 0;
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

ScriptInterpreter::ScriptInterpreter(DCCController& cab, MemoryTextField& sendField,
                                     MemoryValueControl& speed, MemoryButton& direction,
                                     MemoryButton& headlight)
    : cab_(cab), sendField_(sendField), speed_(speed), direction_(direction),
      headlight_(headlight) {}

ScriptInterpreter::Step ScriptInterpreter::run(const std::string& rawLine,
                                               std::uint64_t lineNumber) {
    const std::string line = trimmed(rawLine);
    if (line.empty() || line[0] == '#') {
        return {};
    }
    const std::size_t space = line.find_first_of(" \t");
    const std::string name = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : trimmed(line.substr(space));
    std::vector<std::string> words;
    std::istringstream split(rest);
    for (std::string word; split >> word;) {
        words.push_back(word);
    }
    auto wrong = [&](const std::string& what) {
        std::fprintf(stderr, "dcc-cab: script line %llu: %s: %s\n",
                     static_cast<unsigned long long>(lineNumber), what.c_str(), line.c_str());
        return Step{};
    };

    // Commands without an argument.
    const std::map<std::string, std::function<void()>> plain = {
        {"sendDirectionChange", [this] { cab_.sendDirectionChange(&direction_); }},
        {"headlight", [this] { cab_.headlight(&headlight_); }},
        {"sendIdle", [this] { cab_.sendIdle(nullptr); }},
        {"sendReset", [this] { cab_.sendReset(nullptr); }},
        {"sendStop", [this] { cab_.sendStop(nullptr); }},
        {"sendEmergencyStop", [this] { cab_.sendEmergencyStop(nullptr); }},
        {"sendBroadcastEmergencyStop", [this] { cab_.sendBroadcastEmergencyStop(nullptr); }},
        {"sendDump", [this] { cab_.sendDump(nullptr); }},
        {"dumpInfo", [this] { cab_.dumpInfo(nullptr); }},
        {"testDispatcher", [this] { cab_.testDispatcher(); }},
        {"openOrClosePort", [this] { cab_.openOrClosePort(nullptr); }},
        {"status", [this] { std::printf("\n%s\n", status().c_str()); }},
    };
    if (const auto found = plain.find(name); found != plain.end()) {
        if (!words.empty()) {
            return wrong(name + " takes no argument");
        }
        found->second();
        return {};
    }
    if (name == "quit") {
        return words.empty() ? Step{Step::Kind::quit} : wrong("quit takes no argument");
    }
    if (name == "send") {
        if (rest.empty()) {
            return wrong("send needs the text to send");
        }
        sendField_.setStringValue(rest);
        cab_.send(nullptr);
        return {};
    }
    // Commands with one number.
    struct Numbered {
        std::int64_t lowest;
        std::int64_t highest;
        bool optional;
    };
    const std::map<std::string, Numbered> numbered = {
        {"setLocoAddress", {1, 10239, false}}, {"setSpeedMode", {0, 2, false}},
        {"sendSpeedChange", {0, 127, false}},  {"wait", {0, 3600000, false}},
        {"waitUntilIdle", {0, 3600000, true}},
    };
    const auto found = numbered.find(name);
    if (found == numbered.end()) {
        return wrong("unknown command '" + name + "'");
    }
    const Numbered& rule = found->second;
    if (words.empty() && rule.optional) {
        return {Step::Kind::waitUntilIdle};
    }
    if (words.size() != 1) {
        return wrong(name + " takes one number");
    }
    const std::optional<std::int64_t> value = number(words[0]);
    if (!value || *value < rule.lowest || *value > rule.highest) {
        return wrong(name + " takes a number from " + std::to_string(rule.lowest) + " to " +
                     std::to_string(rule.highest));
    }
    if (name == "setLocoAddress") {
        cab_.setLocoAddress(*value);
    } else if (name == "setSpeedMode") {
        cab_.setSpeedMode(*value);
    } else if (name == "sendSpeedChange") {
        speed_.setIntegerValue(static_cast<int>(*value));
        cab_.sendSpeedChange(&speed_);
    } else {
        return {name == "wait" ? Step::Kind::wait : Step::Kind::waitUntilIdle,
                std::chrono::milliseconds(*value), true};
    }
    return {};
}

std::string ScriptInterpreter::status() const {
    static const char* const modes[] = {"14", "28", "128"};
    const std::int64_t mode = cab_.speedMode();
    std::string packet = cab_.sentPacketString();
    while (!packet.empty() && packet.back() == ' ') {
        packet.pop_back();
    }
    return "status: address " + std::to_string(cab_.locoAddress()) + ", " +
           (mode >= 0 && mode <= 2 ? modes[mode] : "?") + " steps, speed " +
           std::to_string(cab_.locoSpeed()) + ", step " + std::to_string(cab_.currentSpeedStep()) +
           ", " + (cab_.locoDirection() == 1 ? "FORWARD" : "REVERSE") + ", headlight " +
           (cab_.headlightIsOn() ? "ON" : "OFF") + ", port " +
           (cab_.portIsOpen() ? "open" : "closed") + ", packet " +
           (packet.empty() ? "none" : packet);
}
