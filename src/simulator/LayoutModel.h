#pragma once

#include "DecodedPacket.h"
#include "LocoAddress.h"
#include "SpeedMode.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// The simulated board's picture of the track: one entry per locomotive a packet has addressed,
// holding what its decoder would now be doing. Packets change it through apply; a packet to the
// broadcast address changes every locomotive already known and adds none.
//
// A plain value with no lock: the owner serialises access (SimulatedBoard holds it under its
// mutex and hands out copies).
class LayoutModel {
public:
    struct Locomotive {
        std::optional<SpeedMode> mode; // form of the last speed instruction; none before the
                                       // first and after a hard reset
        int step = 0;                  // 0: stopped
        bool forward = true;
        std::uint32_t functions = 0; // on: bit n for Fn, F0 (the headlight) to F28
        bool emergencyStopped = false;

        bool operator==(const Locomotive&) const = default;
    };

    // Applies one decoded packet. Speed and function packets set what they carry, a function
    // packet only the functions of its group (a speed
    // instruction clears an earlier emergency stop); a digital decoder reset brings a decoder to
    // its power-up state (stopped, forward, functions off) but leaves its speed mode; a hard reset
    // also forgets the mode. Idle, unmodelled, reserved and malformed packets change nothing.
    void apply(const DecodedPacket& packet);

    const std::map<LocoAddress, Locomotive>& locomotives() const { return locomotives_; }
    // The locomotive at address, or none if no packet has addressed it. A copy, so that it is
    // safe to take from a temporary model (SimulatedBoard::layout() returns one).
    std::optional<Locomotive> find(LocoAddress address) const;

    // One line per locomotive: its speed, direction and the functions on in ascending order, for
    // example "loco 3: step 14 of 28, forward, F0 F5 F13 on" or
    // "loco 5: stopped (28 steps), reverse, functions off"; "no locomotives" when empty.
    std::string describe() const;

private:
    template <typename Change>
    void forEachTarget(const DecodedPacket& packet, Change change);

    std::map<LocoAddress, Locomotive> locomotives_;
};
