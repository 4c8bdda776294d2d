#include "LayoutModel.h"

#include "DCCPacketDecoder.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <vector>

namespace {

using Packet = std::vector<std::uint8_t>;
using Loco = LayoutModel::Locomotive;

constexpr LocoAddress loco3{3, false};
constexpr LocoAddress long1000{1000, true};

LayoutModel after(std::initializer_list<Packet> packets, SpeedMode baseline = SpeedMode::Steps28) {
    const DCCPacketDecoder decoder(baseline);
    LayoutModel layout;
    for (const Packet& packet : packets) {
        layout.apply(decoder.decode(packet));
    }
    return layout;
}

Loco at(const LayoutModel& layout, LocoAddress address) {
    return layout.find(address).value_or(Loco{});
}

TEST(LayoutModel, SpeedAndFunctionPacketsSetWhatTheyCarry) {
    const LayoutModel layout = after({{0x03, 0x5F, 0x5C}, {0x03, 0x91, 0x92}});
    EXPECT_EQ(at(layout, loco3), (Loco{SpeedMode::Steps28, 28, false, 0x03, false}));
}

TEST(LayoutModel, EmergencyStopHoldsUntilTheNextSpeedInstruction) {
    const Packet run{0x03, 0x3F, 0x85, 0xB9};
    const Packet emergency{0x03, 0x3F, 0x81, 0xBD};
    EXPECT_EQ(at(after({run, emergency}), loco3), (Loco{SpeedMode::Steps128, 0, true, 0, true}));
    EXPECT_EQ(at(after({run, emergency, run}), loco3),
              (Loco{SpeedMode::Steps128, 4, true, 0, false}));
    // The cab's "emergency stop" is instruction 0x11, which decoders do not act on.
    EXPECT_EQ(at(after({run, {0x03, 0x11, 0x12}}), loco3),
              (Loco{SpeedMode::Steps128, 4, true, 0, false}));
}

TEST(LayoutModel, ResetStopsEverythingButKeepsTheModeHardResetForgetsItToo) {
    const Packet reverseWithLight{0x03, 0x5F, 0x5C};
    const Packet light{0x03, 0x9F, 0x9C};
    const Packet f21ToF28{0x03, 0xDF, 0xFF, 0x23};
    EXPECT_EQ(at(after({reverseWithLight, light, f21ToF28, {0x00, 0x00, 0x00}}), loco3),
              Loco{SpeedMode::Steps28});
    EXPECT_EQ(at(after({reverseWithLight, light, f21ToF28, {0x03, 0x00, 0x03}}), loco3),
              Loco{SpeedMode::Steps28});
    EXPECT_EQ(at(after({reverseWithLight, light, f21ToF28, {0x00, 0x01, 0x01}}), loco3), Loco{});
}

TEST(LayoutModel, BroadcastReachesEveryKnownLocomotiveAndAddsNone) {
    const LayoutModel layout =
        after({{0x03, 0x78, 0x7B}, {0xC3, 0xE8, 0x5F, 0x74}, {0x00, 0x71, 0x71}});
    ASSERT_EQ(layout.locomotives().size(), 2u);
    EXPECT_EQ(at(layout, loco3), (Loco{SpeedMode::Steps28, 0, true, 0, true}));
    EXPECT_EQ(at(layout, long1000), (Loco{SpeedMode::Steps28, 0, false, 0, true}));

    EXPECT_TRUE(after({{0x00, 0x71, 0x71}, {0x00, 0x00, 0x00}}).locomotives().empty());
}

TEST(LayoutModel, ShortAndLongAddressesOfOneNumberAreTwoLocomotives) {
    const LayoutModel layout = after({{0x03, 0x78, 0x7B}, {0xC0, 0x03, 0x60, 0xA3}});
    EXPECT_EQ(at(layout, loco3).step, 14);
    EXPECT_EQ(at(layout, LocoAddress{3, true}).step, 0);
    EXPECT_EQ(layout.locomotives().size(), 2u);
}

TEST(LayoutModel, FourteenStepDecodersTakeTheHeadlightFromTheSpeedInstruction) {
    const SpeedMode s14 = SpeedMode::Steps14;
    EXPECT_EQ(at(after({{0x03, 0x7F, 0x7C}}, s14), loco3).functions, 0x01u);
    // The cab's headlight packet does not reach a 14-step decoder's light, and its next speed
    // packet (bit 4 clear) turns the light off.
    EXPECT_EQ(at(after({{0x03, 0x90, 0x93}}, s14), loco3).functions, 0u);
    EXPECT_EQ(at(after({{0x03, 0x7F, 0x7C}, {0x03, 0x6F, 0x6C}}, s14), loco3).functions, 0u);
}

TEST(LayoutModel, PacketsThatMeanNothingToALocomotiveChangeNothing) {
    EXPECT_TRUE(after({{0xFF, 0x00, 0xFF},
                       {0x03, 0x11, 0x12},
                       {0x03, 0xDD, 0x01, 0xDF},
                       {0x03, 0x3F, 0x3C},
                       {0xE8, 0x60, 0x88}})
                    .locomotives()
                    .empty());
}

TEST(LayoutModel, DescribesOneLinePerLocomotive) {
    EXPECT_EQ(LayoutModel().describe(), "no locomotives\n");
    EXPECT_EQ(after({{0x03, 0x78, 0x7B},
                     {0x03, 0x9A, 0x99},
                     {0x03, 0xB1, 0xB2},
                     {0x03, 0xDE, 0x01, 0xDC},
                     {0xC3, 0xE8, 0x3F, 0x01, 0x15},
                     {0x05, 0x80, 0x85}})
                  .describe(),
              "loco 3: step 14 of 28, forward, F0 F2 F4 F5 F13 on\n"
              "loco 5: stopped (speed mode not known yet), forward, functions off\n"
              "loco 1000 (long): emergency stopped (128 steps), reverse, functions off\n");
}

// Each function packet, in both address forms, sets the functions of its group and no other.
struct FunctionRow {
    Packet packet; // without its error byte
    SpeedMode baseline;
    DecodedPacket::Kind kind;
    std::uint32_t mask; // the functions the packet sets, bit n for Fn
    std::uint32_t on;   // those of them it turns on
};

void PrintTo(const FunctionRow& row, std::ostream* os) {
    for (std::uint8_t byte : row.packet) {
        *os << std::hex << static_cast<int>(byte) << ' ';
    }
}

class LayoutModelFunctions : public testing::TestWithParam<FunctionRow> {};

Packet withErrorByte(Packet packet) {
    std::uint8_t check = 0;
    for (std::uint8_t byte : packet) {
        check ^= byte;
    }
    packet.push_back(check);
    return packet;
}

TEST_P(LayoutModelFunctions, SetTheirGroupAndLeaveTheRest) {
    const FunctionRow& row = GetParam();
    const DecodedPacket packet = DCCPacketDecoder(row.baseline).decode(withErrorByte(row.packet));
    ASSERT_EQ(packet.kind, row.kind) << packet.text;
    ASSERT_TRUE(packet.address.has_value());
    EXPECT_EQ(packet.functionMask, row.mask);
    EXPECT_EQ(packet.functionsOn, row.on);

    const LocoAddress address = *packet.address;
    const Packet to = address.isLong ? Packet{static_cast<std::uint8_t>(0xC0 | address.number >> 8),
                                              static_cast<std::uint8_t>(address.number & 0xFF)}
                                     : Packet{static_cast<std::uint8_t>(address.number)};
    constexpr std::uint32_t all = (1u << 29) - 1;
    for (const std::uint32_t before : {0u, all}) {
        LayoutModel layout;
        if (before == all) {
            for (const Packet& allOn : {Packet{0x9F}, {0xBF}, {0xAF}, {0xDE, 0xFF}, {0xDF, 0xFF}}) {
                Packet whole = to;
                whole.insert(whole.end(), allOn.begin(), allOn.end());
                layout.apply(DCCPacketDecoder().decode(withErrorByte(whole)));
            }
            ASSERT_EQ(at(layout, address).functions, all) << layout.describe();
        }
        layout.apply(packet);
        EXPECT_EQ(at(layout, address).functions, (before & ~row.mask) | row.on)
            << layout.describe();
    }
}

constexpr SpeedMode S28 = SpeedMode::Steps28;
constexpr SpeedMode S14 = SpeedMode::Steps14;
constexpr DecodedPacket::Kind Functions = DecodedPacket::Kind::Functions;

INSTANTIATE_TEST_SUITE_P(
    Groups, LayoutModelFunctions,
    testing::Values(
        // Function group one: FL is F0; a 14-step decoder takes it from the speed packet only.
        FunctionRow{{0x03, 0x95}, S28, Functions, 0x1F, 0x0B},
        FunctionRow{{0xC3, 0xE8, 0x8A}, S28, Functions, 0x1F, 0x14},
        FunctionRow{{0x03, 0x95}, S14, Functions, 0x1E, 0x0A},
        FunctionRow{{0x03, 0x7F}, S14, DecodedPacket::Kind::Speed, 0x01, 0x01},
        // Function group two: F5-F8, then F9-F12.
        FunctionRow{{0x03, 0xB5}, S28, Functions, 0xF << 5, 0x5 << 5},
        FunctionRow{{0xE7, 0xFF, 0xBA}, S28, Functions, 0xF << 5, 0xA << 5},
        FunctionRow{{0x7F, 0xA9}, S28, Functions, 0xF << 9, 0x9 << 9},
        FunctionRow{{0xC0, 0x80, 0xA6}, S28, Functions, 0xF << 9, 0x6 << 9},
        // Feature expansion: F13-F20, then F21-F28.
        FunctionRow{{0x03, 0xDE, 0x81}, S28, Functions, 0xFFu << 13, 0x81u << 13},
        FunctionRow{{0xC3, 0xE8, 0xDE, 0x7E}, S28, Functions, 0xFFu << 13, 0x7Eu << 13},
        FunctionRow{{0x03, 0xDF, 0x01}, S28, Functions, 0xFFu << 21, 0x01u << 21},
        FunctionRow{{0xC3, 0xE8, 0xDF, 0x80}, S28, Functions, 0xFFu << 21, 0x80u << 21},
        // A byte missing or one too many: nothing changes.
        FunctionRow{{0x03, 0xDE}, S28, DecodedPacket::Kind::Malformed, 0, 0},
        FunctionRow{{0xC3, 0xE8, 0xDF}, S28, DecodedPacket::Kind::Malformed, 0, 0},
        FunctionRow{{0x03, 0xB5, 0x00}, S28, DecodedPacket::Kind::Malformed, 0, 0}));

} // namespace
