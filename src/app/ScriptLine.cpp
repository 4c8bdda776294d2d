#include "ScriptLine.h"

#include <charconv>
#include <sstream>
#include <vector>

namespace {

using Command = ScriptLine::Command;

struct Rule {
    Command command;
    std::string_view name;
    enum class Argument { none, text, number, optionalNumber } argument;
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
};

constexpr Rule rules[] = {
    {Command::sendDirectionChange, "sendDirectionChange", Rule::Argument::none},
    {Command::headlight, "headlight", Rule::Argument::none},
    {Command::sendIdle, "sendIdle", Rule::Argument::none},
    {Command::sendReset, "sendReset", Rule::Argument::none},
    {Command::sendStop, "sendStop", Rule::Argument::none},
    {Command::sendEmergencyStop, "sendEmergencyStop", Rule::Argument::none},
    {Command::sendBroadcastEmergencyStop, "sendBroadcastEmergencyStop", Rule::Argument::none},
    {Command::sendDump, "sendDump", Rule::Argument::none},
    {Command::dumpInfo, "dumpInfo", Rule::Argument::none},
    {Command::testDispatcher, "testDispatcher", Rule::Argument::none},
    {Command::openOrClosePort, "openOrClosePort", Rule::Argument::none},
    {Command::status, "status", Rule::Argument::none},
    {Command::quit, "quit", Rule::Argument::none},
    {Command::send, "send", Rule::Argument::text},
    {Command::setLocoAddress, "setLocoAddress", Rule::Argument::number, 1, 10239},
    {Command::setSpeedMode, "setSpeedMode", Rule::Argument::number, 0, 2},
    {Command::sendSpeedChange, "sendSpeedChange", Rule::Argument::number, 0, 127},
    {Command::wait, "wait", Rule::Argument::number, 0, 3600000},
    {Command::waitUntilIdle, "waitUntilIdle", Rule::Argument::optionalNumber, 0, 3600000},
};

std::optional<std::int64_t> number(const std::string& word) {
    std::int64_t value = 0;
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

ScriptLine parseScriptLine(std::string_view rawLine) {
    const std::string_view line = trimmed(rawLine);
    if (line.empty() || line[0] == '#') {
        return {};
    }
    const std::size_t space = line.find_first_of(" \t");
    const std::string_view name = line.substr(0, space);
    const std::string_view rest =
        space == std::string_view::npos ? "" : trimmed(line.substr(space));
    auto wrong = [&](const std::string& what) {
        return ScriptLine{Command::wrong, what + ": " + std::string(line), std::nullopt};
    };

    const Rule* rule = nullptr;
    for (const Rule& candidate : rules) {
        if (candidate.name == name) {
            rule = &candidate;
        }
    }
    if (rule == nullptr) {
        return wrong("unknown command '" + std::string(name) + "'");
    }
    const std::string ruleName(rule->name);
    if (rule->argument == Rule::Argument::text) {
        if (rest.empty()) {
            return wrong(ruleName + " needs the text to send");
        }
        return {rule->command, std::string(rest), std::nullopt};
    }
    std::vector<std::string> words;
    std::istringstream split{std::string(rest)};
    for (std::string word; split >> word;) {
        words.push_back(word);
    }
    if (rule->argument == Rule::Argument::none) {
        return words.empty() ? ScriptLine{rule->command, {}, std::nullopt}
                             : wrong(ruleName + " takes no argument");
    }
    if (words.empty() && rule->argument == Rule::Argument::optionalNumber) {
        return {rule->command, {}, std::nullopt};
    }
    if (words.size() != 1) {
        return wrong(ruleName + " takes one number");
    }
    const std::optional<std::int64_t> value = number(words[0]);
    if (!value || *value < rule->lowest || *value > rule->highest) {
        return wrong(ruleName + " takes a number from " + std::to_string(rule->lowest) + " to " +
                     std::to_string(rule->highest));
    }
    return {rule->command, {}, value};
}

std::string_view scriptCommandName(Command command) {
    for (const Rule& rule : rules) {
        if (rule.command == command) {
            return rule.name;
        }
    }
    return {};
}
