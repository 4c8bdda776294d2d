#include "DCCSpeedEncoding.h"

#include <algorithm>

const std::array<std::uint8_t, 29> speedSteps = {
    0x00, 0x02, 0x12, 0x03, 0x13, 0x04, 0x14, 0x05, 0x15, 0x06, 0x16, 0x07, 0x17, 0x08, 0x18,
    0x09, 0x19, 0x0A, 0x1A, 0x0B, 0x1B, 0x0C, 0x1C, 0x0D, 0x1D, 0x0E, 0x1E, 0x0F, 0x1F,
};

std::vector<std::uint8_t> locoAddressBytes(std::int64_t address) {
    if (!isValidLocoAddress(address)) {
        return {};
    }
    if (address <= maximumShortLocoAddress) {
        return {static_cast<std::uint8_t>(address)};
    }
    return {static_cast<std::uint8_t>(0xC0 | (address >> 8)),
            static_cast<std::uint8_t>(address & 0xFF)};
}

std::int64_t topSpeedStep(std::int64_t speedMode) {
    switch (speedMode) {
    case 0:
        return 14;
    case 1:
        return 28;
    case 2:
        return 126;
    default:
        return 0;
    }
}

std::optional<DCCSpeedInstruction> speedInstruction(std::int64_t speedMode, std::int64_t speed,
                                                    std::int64_t direction, bool headlight) {
    const std::int64_t s = std::clamp<std::int64_t>(speed, 0, maximumLocoSpeed);
    const std::uint8_t forward = direction == 1 ? 1 : 0;
    DCCSpeedInstruction instruction;
    switch (speedMode) {
    case 2: {
        // Code 1 is the emergency stop, so the running steps 1 to 126 are sent as 2 to 127.
        const std::int64_t code = s == 0 ? 0 : std::min<std::int64_t>(s + 1, 127);
        instruction.step = code == 0 ? 0 : code - 1;
        instruction.bytes = {0x3F, static_cast<std::uint8_t>((forward << 7) | code)};
        return instruction;
    }
    case 1: {
        // Exact in double precision: no speed but 0 and 127 lies on a step boundary.
        instruction.step = static_cast<std::int64_t>(static_cast<double>(s) / 127.0 * 28.0);
        instruction.bytes = {static_cast<std::uint8_t>(
            0x40 | (forward << 5) | speedSteps[static_cast<std::size_t>(instruction.step)])};
        return instruction;
    }
    case 0: {
        instruction.step = static_cast<std::int64_t>(static_cast<double>(s) / 127.0 * 14.0);
        const std::int64_t index = std::max<std::int64_t>(2 * instruction.step - 1, 0);
        instruction.bytes = {
            static_cast<std::uint8_t>(0x40 | (forward << 5) | (headlight ? 0x10 : 0x00) |
                                      speedSteps[static_cast<std::size_t>(index)])};
        return instruction;
    }
    default:
        return std::nullopt;
    }
}

std::int64_t speedForStep(std::int64_t speedMode, std::int64_t step) {
    const std::int64_t top = topSpeedStep(speedMode);
    const std::int64_t wanted = std::clamp<std::int64_t>(step, 0, top);
    if (top == 0 || wanted == 0) {
        return 0;
    }
    for (std::int64_t speed = 1; speed <= maximumLocoSpeed; ++speed) {
        if (speedInstruction(speedMode, speed, 1, false)->step >= wanted) {
            return speed;
        }
    }
    return maximumLocoSpeed;
}

std::uint8_t emergencyStopInstruction(std::int64_t speedMode, std::int64_t direction,
                                      bool headlight) {
    const std::uint8_t light = speedMode == 0 && headlight ? 0x10 : 0x00;
    return static_cast<std::uint8_t>((direction == 1 ? 0x61 : 0x41) | light);
}
