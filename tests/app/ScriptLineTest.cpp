#include "ScriptLine.h"

#include <gtest/gtest.h>

namespace {

using Command = ScriptLine::Command;

// What the interpreter is handed for each kind of line, at the edges of every range, including the
// blanks the window's script files carry (tabs, a carriage return before the line ending).
TEST(ScriptLine, ReadsEachKindOfLine) {
    const struct {
        const char* line;
        ScriptLine expected;
    } cases[] = {
        {" \t\r", {}},
        {"  # setLocoAddress 3", {}},
        {"headlight\r", {Command::headlight, "", std::nullopt}},
        {"\tsend  03 3F \t85 \r", {Command::send, "03 3F \t85", std::nullopt}},
        {"setLocoAddress 10239", {Command::setLocoAddress, "", 10239}},
        {"sendSpeedChange\t0", {Command::sendSpeedChange, "", 0}},
        {"waitUntilIdle", {Command::waitUntilIdle, "", std::nullopt}},
        {"waitUntilIdle 250", {Command::waitUntilIdle, "", 250}},
        {"bogus 1", {Command::wrong, "unknown command 'bogus': bogus 1", std::nullopt}},
        {"quit now", {Command::wrong, "quit takes no argument: quit now", std::nullopt}},
        {"send \t", {Command::wrong, "send needs the text to send: send", std::nullopt}},
        {"wait", {Command::wrong, "wait takes one number: wait", std::nullopt}},
        {"setLocoAddress 10240",
         {Command::wrong, "setLocoAddress takes a number from 1 to 10239: setLocoAddress 10240",
          std::nullopt}},
        {"setSpeedMode +1",
         {Command::wrong, "setSpeedMode takes a number from 0 to 2: setSpeedMode +1",
          std::nullopt}},
    };
    for (const auto& [line, expected] : cases) {
        const ScriptLine got = parseScriptLine(line);
        EXPECT_EQ(got.command, expected.command) << line;
        EXPECT_EQ(got.text, expected.text) << line;
        EXPECT_EQ(got.number, expected.number) << line;
    }
}

} // namespace
