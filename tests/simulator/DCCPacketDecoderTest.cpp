#include "DCCPacketDecoder.h"

#include <cctype>
#include <gtest/gtest.h>
#include <vector>

namespace {

using Kind = DecodedPacket::Kind;

struct Row {
    std::vector<std::uint8_t> packet; // as on the track, error byte last, computed by hand
    SpeedMode baseline;
    Kind kind;
    const char* text;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.text;
}

class DCCPacketDecoderTable : public testing::TestWithParam<Row> {};

TEST_P(DCCPacketDecoderTable, ReadsThePacketAsADecoderWould) {
    const Row& row = GetParam();
    const DecodedPacket decoded = DCCPacketDecoder(row.baseline).decode(row.packet);
    EXPECT_EQ(decoded.kind, row.kind);
    EXPECT_EQ(decoded.text, row.text);
}

constexpr SpeedMode S14 = SpeedMode::Steps14;
constexpr SpeedMode S28 = SpeedMode::Steps28;

// The speed packets the cab sends in each mode, at address 3 unless said otherwise, with the
// standard's stop and emergency-stop codes around them.
INSTANTIATE_TEST_SUITE_P(
    Speed, DCCPacketDecoderTable,
    testing::Values(
        Row{{0x03, 0x60, 0x63}, S28, Kind::Speed, "loco 3: stop (28 steps), forward"},
        Row{{0x03, 0x62, 0x61}, S28, Kind::Speed, "loco 3: step 1 of 28, forward"},
        Row{{0x03, 0x72, 0x71}, S28, Kind::Speed, "loco 3: step 2 of 28, forward"},
        Row{{0x03, 0x78, 0x7B}, S28, Kind::Speed, "loco 3: step 14 of 28, forward"},
        Row{{0x03, 0x7F, 0x7C}, S28, Kind::Speed, "loco 3: step 28 of 28, forward"},
        Row{{0x03, 0x5F, 0x5C}, S28, Kind::Speed, "loco 3: step 28 of 28, reverse"},
        Row{{0x03, 0x70, 0x73}, S28, Kind::Speed, "loco 3: stop (28 steps), direction ignored"},
        Row{{0x03, 0x61, 0x62}, S28, Kind::Speed, "loco 3: emergency stop (28 steps), forward"},
        Row{{0x03, 0x51, 0x52},
            S28,
            Kind::Speed,
            "loco 3: emergency stop (28 steps), direction ignored"},
        Row{{0x03, 0x60, 0x63}, S14, Kind::Speed, "loco 3: stop (14 steps), forward, F0 off"},
        Row{{0x03, 0x62, 0x61}, S14, Kind::Speed, "loco 3: step 1 of 14, forward, F0 off"},
        Row{{0x03, 0x68, 0x6B}, S14, Kind::Speed, "loco 3: step 7 of 14, forward, F0 off"},
        Row{{0x03, 0x6F, 0x6C}, S14, Kind::Speed, "loco 3: step 14 of 14, forward, F0 off"},
        Row{{0x03, 0x4F, 0x4C}, S14, Kind::Speed, "loco 3: step 14 of 14, reverse, F0 off"},
        Row{{0x03, 0x7F, 0x7C}, S14, Kind::Speed, "loco 3: step 14 of 14, forward, F0 on"},
        Row{{0x03, 0x61, 0x62},
            S14,
            Kind::Speed,
            "loco 3: emergency stop (14 steps), forward, F0 off"},
        // The cab's 14-step packets reaching decoders set to 28 steps.
        Row{{0x03, 0x68, 0x6B}, S28, Kind::Speed, "loco 3: step 13 of 28, forward"},
        Row{{0x03, 0x6F, 0x6C}, S28, Kind::Speed, "loco 3: step 27 of 28, forward"},
        Row{{0x03, 0x3F, 0x80, 0xBC}, S28, Kind::Speed, "loco 3: stop (128 steps), forward"},
        Row{{0x03, 0x3F, 0x85, 0xB9}, S28, Kind::Speed, "loco 3: step 4 of 126, forward"},
        Row{{0x03, 0x3F, 0xFF, 0xC3}, S28, Kind::Speed, "loco 3: step 126 of 126, forward"},
        Row{{0x03, 0x3F, 0x7F, 0x43}, S14, Kind::Speed, "loco 3: step 126 of 126, reverse"},
        Row{{0x03, 0x3F, 0x81, 0xBD},
            S28,
            Kind::Speed,
            "loco 3: emergency stop (128 steps), forward"}));

// The cab's other commands, broadcast packets, both address forms and what the standard leaves
// undefined.
INSTANTIATE_TEST_SUITE_P(
    Commands, DCCPacketDecoderTable,
    testing::Values(
        Row{{0xFF, 0x00, 0xFF}, S28, Kind::Idle, "idle"},
        Row{{0x00, 0x00, 0x00}, S28, Kind::DecoderReset, "broadcast: digital decoder reset"},
        Row{{0x00, 0x01, 0x01}, S28, Kind::HardReset, "broadcast: hard reset"},
        Row{{0x03, 0x00, 0x03}, S28, Kind::DecoderReset, "loco 3: digital decoder reset"},
        Row{{0x03, 0x90, 0x93},
            S28,
            Kind::Functions,
            "loco 3: functions F0-F4: F0 on, F1 F2 F3 F4 off"},
        Row{{0x03, 0x80, 0x83},
            S28,
            Kind::Functions,
            "loco 3: functions F0-F4: F0 F1 F2 F3 F4 off"},
        Row{{0x03, 0x95, 0x96},
            S14,
            Kind::Functions,
            "loco 3: functions F1-F4: F1 F3 on, F2 F4 off "
            "(bit 4 has no meaning for 14-step decoders)"},
        Row{{0x03, 0x11, 0x12},
            S28,
            Kind::Reserved,
            "loco 3: reserved instruction 0x11 (consist control)"},
        Row{{0x00, 0x40, 0x40}, S28, Kind::Speed, "broadcast: stop (28 steps), reverse"},
        Row{{0x00, 0x71, 0x71},
            S28,
            Kind::Speed,
            "broadcast: emergency stop (28 steps), direction ignored"},
        Row{{0x00, 0x71, 0x71},
            S14,
            Kind::Speed,
            "broadcast: emergency stop (14 steps), direction ignored"},
        Row{{0x7F, 0x60, 0x1F}, S28, Kind::Speed, "loco 127: stop (28 steps), forward"},
        Row{{0xC3, 0xE8, 0x3F, 0x85, 0x91},
            S28,
            Kind::Speed,
            "loco 1000 (long): step 4 of 126, forward"},
        Row{{0xE7, 0xFF, 0x60, 0x78},
            S28,
            Kind::Speed,
            "loco 10239 (long): stop (28 steps), forward"},
        Row{{0xC0, 0x80, 0x90, 0xD0},
            S28,
            Kind::Functions,
            "loco 128 (long): functions F0-F4: F0 on, F1 F2 F3 F4 off"},
        Row{{0x03, 0xB1, 0xB2},
            S28,
            Kind::Functions,
            "loco 3: functions F5-F8: F5 on, F6 F7 F8 off"},
        Row{{0x03, 0xDF, 0x80, 0x5C},
            S28,
            Kind::Functions,
            "loco 3: functions F21-F28: F28 on, F21 F22 F23 F24 F25 F26 F27 off"},
        Row{{0x03, 0xDD, 0x01, 0xDF},
            S28,
            Kind::Other,
            "loco 3: feature expansion instruction 0xDD (not modelled)"},
        Row{{0x81, 0xF8, 0x79}, S28, Kind::Other, "accessory decoder packet (not modelled)"},
        Row{{0xE8, 0x60, 0x88}, S28, Kind::Reserved, "reserved address 0xE8"},
        Row{{0xC0, 0x00, 0x60, 0xA0}, S28, Kind::Reserved, "long address 0 is no locomotive's"},
        Row{{0xFF, 0x01, 0xFE},
            S28,
            Kind::Reserved,
            "address 255 is the idle packet's; only FF 00 is defined"},
        Row{{0x03, 0x3C, 0x3F},
            S28,
            Kind::Reserved,
            "loco 3: reserved instruction 0x3C (advanced operations)"},
        Row{{0x03, 0x05, 0x06},
            S28,
            Kind::Reserved,
            "loco 3: reserved instruction 0x05 (decoder control)"},
        Row{{0x03, 0x78, 0x7C}, S28, Kind::Malformed, "wrong error byte 0x7C, expected 0x7B"},
        Row{{0x03, 0x3F, 0x3C},
            S28,
            Kind::Malformed,
            "loco 3: 128-step speed instruction with 1 byte missing"},
        Row{{0x03, 0x78, 0x00, 0x7B},
            S28,
            Kind::Malformed,
            "loco 3: speed and direction instruction with 1 byte too many"},
        Row{{0x03, 0xDE, 0xDD},
            S28,
            Kind::Malformed,
            "loco 3: function instruction F13-F20 with 1 byte missing"},
        Row{{0xC3, 0xE8, 0x2B}, S28, Kind::Malformed, "long address with no instruction"}));

} // namespace
