// The headless mode's script reader, on every line of the input (split at '\n' as the script is).
// Checked: a line read as a command reads the same when written back in its plain form; blanks
// around a line change nothing; a wrong line's report ends with the line, unless it is too long.
#include "FuzzCheck.h"
#include "ScriptLine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using Command = ScriptLine::Command;

// The plain form of a command: its name and its argument, one space apart.
std::string written(const ScriptLine& line) {
    std::string text(scriptCommandName(line.command));
    if (line.command == Command::send) {
        text += " " + line.text;
    } else if (line.number) {
        text += " " + std::to_string(*line.number);
    }
    if (line.command == Command::setFunction) {
        text += line.on ? " on" : " off";
    }
    return text;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

void check(std::string_view text) {
    const ScriptLine line = parseScriptLine(text);
    if (text.size() > scriptLineLimit) {
        FUZZ_CHECK(line.command == Command::wrong && !line.number);
        return;
    }
    if (text.size() + 4 <= scriptLineLimit) {
        FUZZ_CHECK(parseScriptLine(" \t" + std::string(text) + "\t \r") == line);
    }
    switch (line.command) {
    case Command::none:
        FUZZ_CHECK(trimmed(text).empty() || trimmed(text)[0] == '#');
        FUZZ_CHECK(line.text.empty() && !line.number);
        return;
    case Command::wrong: {
        const std::string tail = ": " + std::string(trimmed(text));
        FUZZ_CHECK(line.text.size() > tail.size());
        FUZZ_CHECK(line.text.compare(line.text.size() - tail.size(), tail.size(), tail) == 0);
        FUZZ_CHECK(!line.number);
        return;
    }
    case Command::send:
        FUZZ_CHECK(!line.text.empty() && trimmed(line.text) == line.text);
        FUZZ_CHECK(!line.number);
        break;
    default:
        FUZZ_CHECK(line.text.empty());
        FUZZ_CHECK(!scriptCommandName(line.command).empty());
        break;
    }
    FUZZ_CHECK(parseScriptLine(written(line)) == line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view script(reinterpret_cast<const char*>(data), size);
    std::size_t from = 0;
    while (from <= script.size()) {
        const std::size_t end = std::min(script.find('\n', from), script.size());
        check(script.substr(from, end - from));
        from = end + 1;
    }
    return 0;
}
