#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class DCCController;
class MemoryButton;
class MemoryTextField;
class MemoryValueControl;

// The headless mode's script: one of the window's actions per line, by name, run on the cab.
//
//   setLocoAddress N | setSpeedMode 0|1|2 | sendSpeedChange N | sendDirectionChange | headlight |
//   setFunction N on|off | pressFunction N | releaseFunction N | sendIdle | sendReset | sendStop |
//   sendEmergencyStop | sendBroadcastEmergencyStop | sendDump | dumpInfo | testDispatcher |
//   openOrClosePort | send TEXT | status | wait MS | waitUntilIdle [MS] | powerOn | powerOff |
//   quit
//
// The commands act on the shown locomotive; setLocoAddress shows another, as the window's address
// field does (the one shown before keeps running). Blank lines and comments are skipped. A line
// that is none of these, or has a wrong or missing argument, is refused: reported on standard
// error with its number, counted, and it changes nothing. `status` prints one line on standard
// output. powerOn and powerOff switch track power where the station can (not the board: that is
// said on standard error, and the script goes on). What takes time (wait, waitUntilIdle, quit) is
// handed back to the caller, who owns the clock and the event loop. The lines are read by
// parseScriptLine (ScriptLine.h), which needs no cab.
//
// Main thread only. The cab and the outlets must outlive the interpreter.
class ScriptInterpreter {
public:
    struct Step {
        enum class Kind { next, wait, waitUntilIdle, quit };
        Kind kind = Kind::next;
        // wait: how long; waitUntilIdle: how long at most, none for the caller's bound.
        std::chrono::milliseconds duration{0};
        bool hasDuration = false;
        // openOrClosePort found the port closed and began to open it: how that went reaches the
        // port's delegate later.
        bool opensPort = false;
    };

    ScriptInterpreter(DCCController& cab, MemoryTextField& sendField, MemoryValueControl& speed,
                      MemoryButton& direction, MemoryButton& headlight);

    // Runs one line (without its line ending); number is its line number, for the reports.
    Step run(const std::string& line, std::uint64_t number);

    // The one line `status` prints, about the shown locomotive.
    std::string status() const;

    // Lines refused so far.
    std::uint64_t refusedLines() const { return refusedLines_; }

private:
    std::string stationStatus() const;

    DCCController& cab_;
    MemoryTextField& sendField_;
    MemoryValueControl& speed_;
    MemoryButton& direction_;
    MemoryButton& headlight_;
    std::uint64_t refusedLines_ = 0;
};
