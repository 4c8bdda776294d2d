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
        {"powerOn", {Command::powerOn, "", std::nullopt}},
        {"powerOff 1", {Command::wrong, "powerOff takes no argument: powerOff 1", std::nullopt}},
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
        {"setFunction 28 on", {Command::setFunction, "", 28, true}},
        {"setFunction 0\toff", {Command::setFunction, "", 0, false}},
        {"pressFunction 2", {Command::pressFunction, "", 2}},
        {"releaseFunction 2 # horn", {Command::releaseFunction, "", 2}},
        {"setFunction 29 on",
         {Command::wrong, "setFunction takes a number from 0 to 28: setFunction 29 on",
          std::nullopt}},
        {"setFunction 1 On",
         {Command::wrong, "setFunction takes on or off after the number: setFunction 1 On",
          std::nullopt}},
        {"setFunction 1",
         {Command::wrong, "setFunction takes a number and on or off: setFunction 1", std::nullopt}},
        // A comment after a command, send's text too; a '#' inside a word is the word's.
        {"sendEmergencyStop   # stop now", {Command::sendEmergencyStop, "", std::nullopt}},
        {"send 03#3F 85\t# x", {Command::send, "03#3F 85", std::nullopt}},
        {"send # all of it",
         {Command::wrong, "send needs the text to send: send # all of it", std::nullopt}},
        {"quit #", {Command::quit, "", std::nullopt}},
        {"send \r##", {Command::wrong, "send needs the text to send: send \r##", std::nullopt}},
    };
    for (const auto& [line, expected] : cases) {
        const ScriptLine got = parseScriptLine(line);
        EXPECT_EQ(got.command, expected.command) << line;
        EXPECT_EQ(got.text, expected.text) << line;
        EXPECT_EQ(got.number, expected.number) << line;
        EXPECT_EQ(got.on, expected.on) << line;
    }
    // The longest line is taken; one byte more is refused without being repeated.
    const std::string longest = "send " + std::string(scriptLineLimit - 5, 'A');
    EXPECT_EQ(parseScriptLine(longest).command, Command::send);
    EXPECT_EQ(parseScriptLine(longest + "A"),
              (ScriptLine{Command::wrong, "longer than 4096 bytes", std::nullopt}));
}

} // namespace
