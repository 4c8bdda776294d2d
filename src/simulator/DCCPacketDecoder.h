#pragma once

#include "DecodedPacket.h"
#include "SpeedMode.h"

#include <cstdint>
#include <span>
#include <string>

// Reads DCC packets the way the decoders on a track would (NMRA S-9.2 baseline packets and the
// S-9.2.1 extended packet formats): the idle packet, digital decoder reset and hard reset,
// speed and direction in 14-, 28- and 128-step form with their stop and emergency-stop codes,
// the functions F0 to F28 (function groups one and two, and the feature-expansion instructions
// 0xDE for F13-F20 and 0xDF for F21-F28), short and long addresses, and "reserved" for what the
// standard leaves undefined. Everything else the standard defines (accessories, consists, CV
// access, binary states) is named but not modelled.
//
// A baseline speed instruction (01DCSSSS) is read in 14- or 28-step mode as the decoders are
// configured; the packet cannot say which. In 14-step mode bit 4 of that instruction is the
// headlight (FL, F0), and bit 4 of function group one has no meaning.
//
// Immutable after construction: any thread may call decode, also concurrently.
class DCCPacketDecoder {
public:
    // How baseline speed instructions are read: SpeedMode::Steps14, or 28 steps for anything
    // else (a decoder set to 128 steps reads baseline packets in 28-step mode).
    explicit DCCPacketDecoder(SpeedMode baselineMode = SpeedMode::Steps28);

    SpeedMode baselineMode() const { return baselineMode_; }

    // Decodes one packet: its bytes as on the track, address first, error byte last. Never
    // fails; a packet that makes no sense comes back as Malformed or Reserved with its reason.
    DecodedPacket decode(std::span<const std::uint8_t> packet) const;

private:
    void decodeInstruction(DecodedPacket& packet, std::span<const std::uint8_t> instruction,
                           std::string& text) const;
    void decodeBaselineSpeed(DecodedPacket& packet, std::uint8_t instruction,
                             std::string& text) const;

    SpeedMode baselineMode_;
};
