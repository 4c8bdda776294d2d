#pragma once

#include "DCCFunctionEncoding.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One named locomotive of the roster: what the operator calls it, its address, the speed-step
// mode its decoder is set to, a label for each function and which functions are momentary (on
// only while their button or key is held).
struct RosterEntry {
    std::string name;
    std::int64_t address = 3;
    std::int64_t speedMode = 1; // 0 = 14 steps, 1 = 28 steps, 2 = 128 steps
    // Empty labels show as the function's number ("F5").
    std::array<std::string, functionCount> functionLabels{};
    // Bit n for Fn; F2, the horn, is momentary unless the operator says otherwise.
    FunctionSet momentaryFunctions = defaultMomentaryFunctions;

    bool operator==(const RosterEntry&) const = default;
};

// The operator's roster of named locomotives: at most one entry per address and per name (names
// compared as written). A plain value: no I/O (RosterFile reads and writes it), no thread of its
// own; the owner serialises access.
class Roster {
public:
    const std::vector<RosterEntry>& entries() const { return entries_; }

    const RosterEntry* findByAddress(std::int64_t address) const;
    const RosterEntry* findByName(const std::string& name) const;

    // Checks entry: a name that is not blank, an address from 1 to 10239, a mode 0 to 2, and no
    // other entry (than the one at replacing, if given) with its name or address. Empty when it
    // may be stored, otherwise why not, in words for the operator.
    std::optional<std::string> problemWith(const RosterEntry& entry,
                                           std::optional<std::size_t> replacing = {}) const;

    // Adds entry, or replaces the entry at index replacing; false (and nothing changes) when
    // problemWith finds something wrong. Entries stay sorted by name.
    bool store(RosterEntry entry, std::optional<std::size_t> replacing = {});
    void remove(std::size_t index);

    bool operator==(const Roster&) const = default;

private:
    std::vector<RosterEntry> entries_;
};
