#pragma once

#include "LocoAddress.h"
#include "SpeedMode.h"

#include <cstdint>
#include <optional>
#include <string>

// What one DCC packet means to the decoders on the track, as far as the simulated board models
// them. Made by DCCPacketDecoder, applied to the layout by LayoutModel. A plain value.
struct DecodedPacket {
    enum class Kind {
        Idle,             // FF 00: keeps the track busy, changes nothing
        DecoderReset,     // 0000 0000: forget speed, direction and functions
        HardReset,        // 0000 0001: as a reset, and the configuration back to factory state
        Speed,            // a baseline or 128-step speed-and-direction instruction
        FunctionGroupOne, // 100 FL F4 F3 F2 F1
        Other,            // defined by the standard but not modelled (accessories, CV access, ...)
        Reserved,         // an address or instruction the standard leaves undefined
        Malformed,        // wrong error byte, or too few or too many bytes for the instruction
    };

    struct Speed {
        SpeedMode mode = SpeedMode::Steps28;
        int step = 0;                // 0: stopped; otherwise 1 to topStep(mode)
        bool emergency = false;      // an emergency stop (step is then 0)
        std::optional<bool> forward; // empty when the packet lets the decoder ignore direction
    };

    Kind kind = Kind::Malformed;
    bool broadcast = false;                // address 0: every decoder obeys
    std::optional<LocoAddress> address;    // the one locomotive addressed, if any
    std::optional<Speed> speed;            // set for Kind::Speed
    std::optional<bool> headlight;         // FL, where the packet sets it
    std::optional<std::uint8_t> functions; // F1 (bit 0) to F4 (bit 3), function group one only
    std::string text; // one readable line, for example "loco 3: step 14 of 28, forward"
};
