#pragma once

#include <compare>
#include <cstdint>
#include <string>

// The address of one multi-function (locomotive) decoder. Short addresses (1 to 127) take one
// packet byte; long ones (up to 10239) take two, 11AAAAAA AAAAAAAA. A decoder set to a long
// address does not answer to the short address of the same number, so the two are different
// locomotives even when the numbers match.
struct LocoAddress {
    std::uint16_t number = 0;
    bool isLong = false;

    auto operator<=>(const LocoAddress&) const = default;

    // "loco 3" or "loco 1000 (long)".
    std::string toString() const {
        return "loco " + std::to_string(number) + (isLong ? " (long)" : "");
    }
};
