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
        Idle,         // FF 00: keeps the track busy, changes nothing
        DecoderReset, // 0000 0000: forget speed, direction and functions
        HardReset,    // 0000 0001: as a reset, and the configuration back to factory state
        Speed,        // a baseline or 128-step speed-and-direction instruction
        Functions,    // function group one or two, or F13-F20 or F21-F28 (0xDE, 0xDF)
        Other,        // defined by the standard but not modelled (accessories, CV access, ...)
        Reserved,     // an address or instruction the standard leaves undefined
        Malformed,    // wrong error byte, or too few or too many bytes for the instruction
    };

    struct Speed {
        SpeedMode mode = SpeedMode::Steps28;
        int step = 0;                // 0: stopped; otherwise 1 to topStep(mode)
        bool emergency = false;      // an emergency stop (step is then 0)
        std::optional<bool> forward; // empty when the packet lets the decoder ignore direction
    };

    Kind kind = Kind::Malformed;
    bool broadcast = false;             // address 0: every decoder obeys
    std::optional<LocoAddress> address; // the one locomotive addressed, if any
    std::optional<Speed> speed;         // set for Kind::Speed
    // The functions F0 (FL, the headlight) to F28 the packet sets, bit n for Fn: a group for
    // Kind::Functions, F0 alone for a 14-step baseline speed packet, none otherwise. The packet
    // leaves every function outside the mask as it was.
    std::uint32_t functionMask = 0;
    std::uint32_t functionsOn = 0; // of the functions in functionMask, those it turns on
    std::string text; // one readable line, for example "loco 3: step 14 of 28, forward"
};
