#include "DCCFunctionEncoding.h"

namespace {

struct Group {
    int first;           // lowest function of the group
    int count;           // functions in the group
    std::uint8_t prefix; // instruction bits above the data, or the expansion byte
    bool expansion;      // the data travels in a byte of its own after prefix
    const char* name;
};

// F0 is bit 4 of group one, F1 to F4 bits 0 to 3: handled apart in the functions below.
constexpr Group groups[functionGroupCount] = {
    {0, 5, 0x80, false, "HEADLIGHT"}, {5, 4, 0xB0, false, "F5-F8"},   {9, 4, 0xA0, false, "F9-F12"},
    {13, 8, 0xDE, true, "F13-F20"},   {21, 8, 0xDF, true, "F21-F28"},
};

} // namespace

int functionGroupOf(int function) {
    for (int group = functionGroupCount - 1; group > 0; --group) {
        if (function >= groups[group].first) {
            return group;
        }
    }
    return 0;
}

FunctionSet functionsOfGroup(int group) {
    const Group& g = groups[group];
    return ((FunctionSet{1} << g.count) - 1) << g.first;
}

std::vector<std::uint8_t> functionGroupInstruction(int group, FunctionSet set) {
    const Group& g = groups[group];
    if (group == 0) {
        // 100 FL F4 F3 F2 F1
        const auto f1to4 = static_cast<std::uint8_t>((set >> 1) & 0x0F);
        const auto fl = static_cast<std::uint8_t>((set & 1) << 4);
        return {static_cast<std::uint8_t>(g.prefix | fl | f1to4)};
    }
    const auto data = static_cast<std::uint8_t>((set >> g.first) & ((1u << g.count) - 1));
    if (g.expansion) {
        return {g.prefix, data};
    }
    return {static_cast<std::uint8_t>(g.prefix | data)};
}

const char* functionGroupRecordName(int group) {
    return groups[group].name;
}

std::string functionListText(FunctionSet set) {
    std::string text;
    for (int function = 0; function < functionCount; ++function) {
        if ((set & functionBit(function)) != 0) {
            text += (text.empty() ? "F" : " F") + std::to_string(function);
        }
    }
    return text.empty() ? "none" : text;
}
