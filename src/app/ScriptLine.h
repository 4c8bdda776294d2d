#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// One line of the headless mode's script, read but not run: the command it names with its
// argument, or what is wrong with it. The commands and their arguments are those ScriptInterpreter
// documents; reading them is kept apart from running them so that the reading needs no cab.
//
// Pure; any thread.
struct ScriptLine {
    enum class Command {
        none,  // a blank line or a comment
        wrong, // no command: problem says why
        sendDirectionChange,
        headlight,
        sendIdle,
        sendReset,
        sendStop,
        sendEmergencyStop,
        sendBroadcastEmergencyStop,
        sendDump,
        dumpInfo,
        testDispatcher,
        openOrClosePort,
        status,
        quit,
        send,
        setLocoAddress,
        setSpeedMode,
        sendSpeedChange,
        setFunction,
        pressFunction,
        releaseFunction,
        wait,
        waitUntilIdle,
        powerOn,
        powerOff,
    };

    Command command = Command::none;
    // send: the text to send, trimmed; wrong: what is wrong, then ": " and the trimmed line.
    std::string text;
    // The number of the commands that take one, within their range; waitUntilIdle may have none.
    std::optional<std::int64_t> number;
    // setFunction: on (true) or off.
    bool on = false;

    bool operator==(const ScriptLine&) const = default;
};

// The longest line read, in bytes without its line ending; a longer one is refused.
constexpr std::size_t scriptLineLimit = 4096;

// Reads one line, without its line ending. A '#' at the start of the line or after a blank
// begins a comment that runs to the line's end, after any command (send's text too). A line over
// scriptLineLimit bytes is wrong, whatever it holds; its report does not repeat it.
ScriptLine parseScriptLine(std::string_view line);

// The name a command is written with in a script; empty for none and wrong.
std::string_view scriptCommandName(ScriptLine::Command command);
