#pragma once

#include "DCCFunctionEncoding.h"

#include <array>
#include <cstdint>
#include <memory>

struct DCCMessage;

// One locomotive in use: the state the cab last sent to it, and its own standing packet records.
// Only the cab changes it (every change is a packet the cab has just queued); everyone else reads
// it through the cab, which announces each change.
//
// The records: its speed packet ("SPEED"), its emergency stop ("E_STOP") and one record per
// function group ("HEADLIGHT" for F0 to F4, then "F5-F8", "F9-F12", "F13-F20", "F21-F28"). They
// are made when the cab first writes a packet to the locomotive and belong to it alone, so a
// packet queued for one locomotive never becomes another's. Records are not owned here: the cab
// owns them and lends them (the first locomotive driven gets the catalogue's own "E_STOP",
// "SPEED" and "HEADLIGHT").
//
// Main thread only, like the cab.
class Locomotive {
public:
    Locomotive(std::int64_t address, std::int64_t speedMode, FunctionSet momentary);

    Locomotive(const Locomotive&) = delete;
    Locomotive& operator=(const Locomotive&) = delete;

    std::int64_t address() const { return address_; }
    // 0 = 14 steps, 1 = 28 steps, 2 = 128 steps.
    std::int64_t speedMode() const { return speedMode_; }
    // The operator's speed, 0 to 127, and the step it was sent as (0 to 14, 28 or 126).
    std::int64_t speed() const { return speed_; }
    std::int64_t speedStep() const { return speedStep_; }
    // 1 = forward, 0 = reverse.
    std::int64_t direction() const { return direction_; }
    FunctionSet functions() const { return functions_; }
    bool functionIsOn(int function) const { return (functions_ & functionBit(function)) != 0; }
    FunctionSet momentaryFunctions() const { return momentary_; }
    bool functionIsMomentary(int function) const {
        return (momentary_ & functionBit(function)) != 0;
    }
    // Emergency-stopped (itself, by stop all or by the dump) and not driven since.
    bool isEmergencyStopped() const { return emergencyStopped_; }

    // --- For the cab -----------------------------------------------------------------------------

    void setSpeedMode(std::int64_t mode) { speedMode_ = mode; }
    void setSpeed(std::int64_t speed, std::int64_t step) {
        speed_ = speed;
        speedStep_ = step;
    }
    void setDirection(std::int64_t direction) { direction_ = direction; }
    void setFunctions(FunctionSet functions) { functions_ = functions & allFunctions; }
    void setMomentaryFunctions(FunctionSet momentary) { momentary_ = momentary & allFunctions; }
    void setEmergencyStopped(bool stopped) { emergencyStopped_ = stopped; }

    // The records, null until the cab lends them.
    struct Records {
        DCCMessage* speed = nullptr;
        DCCMessage* emergencyStop = nullptr;
        std::array<DCCMessage*, functionGroupCount> functionGroups{};
    };
    const Records& records() const { return records_; }
    void setRecords(const Records& records) { records_ = records; }

private:
    std::int64_t address_;
    std::int64_t speedMode_;
    std::int64_t speed_ = 0;
    std::int64_t speedStep_ = 0;
    std::int64_t direction_ = 1;
    FunctionSet functions_ = 0;
    FunctionSet momentary_;
    bool emergencyStopped_ = false;
    Records records_;
};
