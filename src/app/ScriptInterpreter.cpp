#include "ScriptInterpreter.h"

#include "DCCController.h"
#include "DCCFunctionEncoding.h"
#include "MemoryButton.h"
#include "MemoryTextField.h"
#include "MemoryValueControl.h"
#include "ScriptLine.h"

#include <cstdio>

ScriptInterpreter::ScriptInterpreter(DCCController& cab, MemoryTextField& sendField,
                                     MemoryValueControl& speed, MemoryButton& direction,
                                     MemoryButton& headlight)
    : cab_(cab), sendField_(sendField), speed_(speed), direction_(direction),
      headlight_(headlight) {}

ScriptInterpreter::Step ScriptInterpreter::run(const std::string& rawLine,
                                               std::uint64_t lineNumber) {
    using Command = ScriptLine::Command;
    const ScriptLine line = parseScriptLine(rawLine);
    const std::int64_t value = line.number.value_or(0);
    switch (line.command) {
    case Command::none:
        break;
    case Command::wrong:
        ++refusedLines_;
        std::fprintf(stderr, "dcc-cab: script line %llu: %s\n",
                     static_cast<unsigned long long>(lineNumber), line.text.c_str());
        break;
    case Command::sendDirectionChange:
        cab_.sendDirectionChange(&direction_);
        break;
    case Command::headlight:
        cab_.headlight(&headlight_);
        break;
    case Command::sendIdle:
        cab_.sendIdle(nullptr);
        break;
    case Command::sendReset:
        cab_.sendReset(nullptr);
        break;
    case Command::sendStop:
        cab_.sendStop(nullptr);
        break;
    case Command::sendEmergencyStop:
        cab_.sendEmergencyStop(nullptr);
        break;
    case Command::sendBroadcastEmergencyStop:
        cab_.sendBroadcastEmergencyStop(nullptr);
        break;
    case Command::sendDump:
        cab_.sendDump(nullptr);
        break;
    case Command::dumpInfo:
        cab_.dumpInfo(nullptr);
        break;
    case Command::testDispatcher:
        cab_.testDispatcher();
        break;
    case Command::openOrClosePort: {
        const bool opening = !cab_.portIsOpen();
        cab_.openOrClosePort(nullptr);
        if (opening) {
            Step step;
            step.opensPort = true;
            return step;
        }
        break;
    }
    case Command::status:
        std::printf("\n%s\n", status().c_str());
        break;
    case Command::quit:
        return {Step::Kind::quit};
    case Command::send:
        sendField_.setStringValue(line.text);
        cab_.send(nullptr);
        break;
    case Command::setLocoAddress:
        cab_.setLocoAddress(value);
        break;
    case Command::setSpeedMode:
        cab_.setSpeedMode(value);
        break;
    case Command::sendSpeedChange:
        speed_.setIntegerValue(static_cast<int>(value));
        cab_.sendSpeedChange(&speed_);
        break;
    case Command::setFunction:
        cab_.setFunction(static_cast<int>(value), line.on);
        break;
    case Command::pressFunction:
        cab_.pressFunction(static_cast<int>(value));
        break;
    case Command::releaseFunction:
        cab_.releaseFunction(static_cast<int>(value));
        break;
    case Command::powerOn:
    case Command::powerOff:
        if (!cab_.setTrackPower(line.command == Command::powerOn)) {
            std::fprintf(stderr, "dcc-cab: script line %llu: %s\n",
                         static_cast<unsigned long long>(lineNumber),
                         cab_.stationSwitchesPower()
                             ? "the port is not open: track power not switched"
                             : "the command-station board has no power command");
        }
        break;
    case Command::wait:
        return {Step::Kind::wait, std::chrono::milliseconds(value), true};
    case Command::waitUntilIdle:
        return {Step::Kind::waitUntilIdle, std::chrono::milliseconds(value),
                line.number.has_value()};
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
           (packet.empty() ? "none" : packet) +
           ", functions on: " + functionListText(cab_.functions()) + stationStatus();
}

std::string ScriptInterpreter::stationStatus() const {
    if (cab_.stationKind() == StationKind::board) {
        return {}; // the board's status line stays as it always was
    }
    static const char* const powers[] = {"unknown", "off", "on"};
    std::string text = ", station " + std::string(stationKindTitle(cab_.stationKind())) +
                       ", power " + powers[static_cast<int>(cab_.trackPower())];
    if (!cab_.stationVersion().empty()) {
        text += " (" + cab_.stationVersion() + ")";
    }
    return text;
}
