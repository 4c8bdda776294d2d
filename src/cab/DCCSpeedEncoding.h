#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// How the cab turns a locomotive's address, speed, direction and headlight into DCC packet bytes
// (baseline and extended packets): pure functions, no state, any thread.
//
// Addresses 1 to 127 take one byte; 128 to 10239 the two-byte long form 11AAAAAA AAAAAAAA. Speed
// modes: 0 = 14 steps, 1 = 28 steps, 2 = 128 steps.

// For each 28-step speed step (index 0 to 28) the five speed bits of the 28-step instruction: the
// intermediate-step bit in bit 4, the four main bits in bits 0 to 3. 14-step mode uses the odd
// entries, whose bit 4 is clear.
extern const std::array<std::uint8_t, 29> speedSteps;

constexpr std::int64_t minimumLocoAddress = 1;
constexpr std::int64_t maximumShortLocoAddress = 127;
constexpr std::int64_t maximumLocoAddress = 10239;
constexpr std::int64_t maximumLocoSpeed = 127;

constexpr bool isValidLocoAddress(std::int64_t address) {
    return address >= minimumLocoAddress && address <= maximumLocoAddress;
}

// The address bytes of a packet to address: one for a short address, two for a long one. An
// address outside 1 to 10239 gives none.
std::vector<std::uint8_t> locoAddressBytes(std::int64_t address);

// Highest step of a speed mode (14, 28 or 126); 0 for a mode that is none of the three.
std::int64_t topSpeedStep(std::int64_t speedMode);

// The speed instruction for speed (0 to 127; larger values count as 127, negative ones as 0) in
// speedMode, going forward when direction is 1 (any other value: reverse).
//   14 steps:  01DLSSSS, L the headlight (bit 4 of a 14-step instruction is the light);
//   28 steps:  01DSSSSS from speedSteps;
//   128 steps: 0x3F, then DSSSSSSS with the code 0 for speed 0 and min(speed + 1, 127) above, so
//              that no speed sends the emergency-stop code 1.
// step is the speed step sent: 0 to 14, 0 to 28, or 0 to 126. Empty for any other mode.
struct DCCSpeedInstruction {
    std::int64_t step = 0;
    std::vector<std::uint8_t> bytes;
};
std::optional<DCCSpeedInstruction> speedInstruction(std::int64_t speedMode, std::int64_t speed,
                                                    std::int64_t direction, bool headlight);

// The lowest speed value (0 to 127) that gives step in speedMode; step is clamped to 0 and the
// mode's top step. 0 for a mode that is none of the three.
std::int64_t speedForStep(std::int64_t speedMode, std::int64_t step);

// The addressed emergency stop, 01D00001: 0x61 forward (direction 1), 0x41 reverse. In 14-step
// mode (speedMode 0) bit 4 is the headlight there too, so it carries headlight: 0x71 / 0x51, which
// decoders in 28-step mode also read as the emergency stop.
std::uint8_t emergencyStopInstruction(std::int64_t speedMode, std::int64_t direction,
                                      bool headlight);

// The broadcast emergency stop's instruction, 01DC000S with D, C and S set; sent to address 0.
constexpr std::uint8_t broadcastEmergencyStopInstruction = 0x71;

// Function group one (100 FL F4 F3 F2 F1) with F1 to F4 off and the headlight as given.
constexpr std::uint8_t functionGroupOne(bool headlight) {
    return headlight ? 0x90 : 0x80;
}
