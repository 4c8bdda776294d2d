#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The locomotive functions F0 to F28 and their DCC packets (NMRA extended packet format): pure
// functions, no state, any thread.
//
// A FunctionSet holds bit n for function Fn. The functions travel in five groups, each a packet
// of its own that carries every function of its group:
//   group 0, F0 (FL) and F1-F4: 100DDDDD, bit 4 FL, bits 0-3 F4..F1;
//   group 1, F5-F8:   1011DDDD, bit 0 F5;
//   group 2, F9-F12:  1010DDDD, bit 0 F9;
//   group 3, F13-F20: 0xDE, then one byte, bit 0 F13;
//   group 4, F21-F28: 0xDF, then one byte, bit 0 F21.

constexpr int functionCount = 29; // F0 to F28
constexpr int functionGroupCount = 5;
using FunctionSet = std::uint32_t;
constexpr FunctionSet allFunctions = (FunctionSet{1} << functionCount) - 1;
// F2, the horn: momentary on the throttles modellers know.
constexpr FunctionSet defaultMomentaryFunctions = FunctionSet{1} << 2;

constexpr bool isValidFunction(std::int64_t function) {
    return function >= 0 && function < functionCount;
}

constexpr FunctionSet functionBit(int function) {
    return FunctionSet{1} << function;
}

// The group (0 to 4) that carries function (0 to 28).
int functionGroupOf(int function);
// The functions group carries, as a mask.
FunctionSet functionsOfGroup(int group);
// The instruction bytes of group with the functions of set (other groups' bits are ignored).
std::vector<std::uint8_t> functionGroupInstruction(int group, FunctionSet set);
// The name of the standing record that carries group: "HEADLIGHT" (F0 to F4), "F5-F8",
// "F9-F12", "F13-F20", "F21-F28".
const char* functionGroupRecordName(int group);
// "F0 F5 F13", ascending; "none" for an empty set.
std::string functionListText(FunctionSet set);
