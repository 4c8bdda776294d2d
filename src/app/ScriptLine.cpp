#include "ScriptLine.h"

#include <charconv>
#include <sstream>
#include <vector>

namespace {

using Command = ScriptLine::Command;

struct Rule {
    Command command;
    std::string_view name;
    enum class Argument { none, text, number, optionalNumber, numberAndSwitch } argument;
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
    {Command::setFunction, "setFunction", Rule::Argument::numberAndSwitch, 0, 28},
    {Command::pressFunction, "pressFunction", Rule::Argument::number, 0, 28},
    {Command::releaseFunction, "releaseFunction", Rule::Argument::number, 0, 28},
    {Command::wait, "wait", Rule::Argument::number, 0, 3600000},
    {Command::waitUntilIdle, "waitUntilIdle", Rule::Argument::optionalNumber, 0, 3600000},
    {Command::powerOn, "powerOn", Rule::Argument::none},
    {Command::powerOff, "powerOff", Rule::Argument::none},
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

// The line without its trailing comment: from a '#' after a blank on.
std::string_view withoutComment(std::string_view line) {
    for (std::size_t at = line.find('#'); at != std::string_view::npos;
         at = line.find('#', at + 1)) {
        // The same blanks as trimmed's, so that a command written back reads the same.
        if (line[at - 1] == ' ' || line[at - 1] == '\t' || line[at - 1] == '\r') {
            return trimmed(line.substr(0, at));
        }
    }
    return line;
}

} // namespace

ScriptLine parseScriptLine(std::string_view rawLine) {
    if (rawLine.size() > scriptLineLimit) {
        return {Command::wrong, "longer than " + std::to_string(scriptLineLimit) + " bytes",
                std::nullopt};
    }
    const std::string_view line = trimmed(rawLine);
    if (line.empty() || line[0] == '#') {
        return {};
    }
    const std::string_view command = withoutComment(line);
    const std::size_t space = command.find_first_of(" \t");
    const std::string_view name = command.substr(0, space);
    const std::string_view rest =
        space == std::string_view::npos ? "" : trimmed(command.substr(space));
    // The report repeats the whole line, comment and all, as it was written.
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
    const bool switched = rule->argument == Rule::Argument::numberAndSwitch;
    if (words.size() != (switched ? 2 : 1)) {
        return wrong(ruleName + (switched ? " takes a number and on or off" : " takes one number"));
    }
    const std::optional<std::int64_t> value = number(words[0]);
    if (!value || *value < rule->lowest || *value > rule->highest) {
        return wrong(ruleName + " takes a number from " + std::to_string(rule->lowest) + " to " +
                     std::to_string(rule->highest));
    }
    if (switched && words[1] != "on" && words[1] != "off") {
        return wrong(ruleName + " takes on or off after the number");
    }
    return {rule->command, {}, value, switched && words[1] == "on"};
}

std::string_view scriptCommandName(Command command) {
    for (const Rule& rule : rules) {
        if (rule.command == command) {
            return rule.name;
        }
    }
    return {};
}
