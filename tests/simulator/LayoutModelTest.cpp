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
    EXPECT_EQ(at(layout, loco3), (Loco{SpeedMode::Steps28, 28, false, true, 0x01, false}));
}

TEST(LayoutModel, EmergencyStopHoldsUntilTheNextSpeedInstruction) {
    const Packet run{0x03, 0x3F, 0x85, 0xB9};
    const Packet emergency{0x03, 0x3F, 0x81, 0xBD};
    EXPECT_EQ(at(after({run, emergency}), loco3),
              (Loco{SpeedMode::Steps128, 0, true, false, 0, true}));
    EXPECT_EQ(at(after({run, emergency, run}), loco3),
              (Loco{SpeedMode::Steps128, 4, true, false, 0, false}));
    // The cab's "emergency stop" is instruction 0x11, which decoders do not act on.
    EXPECT_EQ(at(after({run, {0x03, 0x11, 0x12}}), loco3),
              (Loco{SpeedMode::Steps128, 4, true, false, 0, false}));
}

TEST(LayoutModel, ResetStopsEverythingButKeepsTheModeHardResetForgetsItToo) {
    const Packet reverseWithLight{0x03, 0x5F, 0x5C};
    const Packet light{0x03, 0x9F, 0x9C};
    EXPECT_EQ(at(after({reverseWithLight, light, {0x00, 0x00, 0x00}}), loco3),
              Loco{SpeedMode::Steps28});
    EXPECT_EQ(at(after({reverseWithLight, light, {0x03, 0x00, 0x03}}), loco3),
              Loco{SpeedMode::Steps28});
    EXPECT_EQ(at(after({reverseWithLight, light, {0x00, 0x01, 0x01}}), loco3), Loco{});
}

TEST(LayoutModel, BroadcastReachesEveryKnownLocomotiveAndAddsNone) {
    const LayoutModel layout =
        after({{0x03, 0x78, 0x7B}, {0xC3, 0xE8, 0x5F, 0x74}, {0x00, 0x71, 0x71}});
    ASSERT_EQ(layout.locomotives().size(), 2u);
    EXPECT_EQ(at(layout, loco3), (Loco{SpeedMode::Steps28, 0, true, false, 0, true}));
    EXPECT_EQ(at(layout, long1000), (Loco{SpeedMode::Steps28, 0, false, false, 0, true}));

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
    EXPECT_TRUE(at(after({{0x03, 0x7F, 0x7C}}, s14), loco3).headlight);
    // The cab's headlight packet does not reach a 14-step decoder's light, and its next speed
    // packet (bit 4 clear) turns the light off.
    EXPECT_FALSE(at(after({{0x03, 0x90, 0x93}}, s14), loco3).headlight);
    EXPECT_FALSE(at(after({{0x03, 0x7F, 0x7C}, {0x03, 0x6F, 0x6C}}, s14), loco3).headlight);
}

TEST(LayoutModel, PacketsThatMeanNothingToALocomotiveChangeNothing) {
    EXPECT_TRUE(after({{0xFF, 0x00, 0xFF},
                       {0x03, 0x11, 0x12},
                       {0x03, 0xB1, 0xB2},
                       {0x03, 0x3F, 0x3C},
                       {0xE8, 0x60, 0x88}})
                    .locomotives()
                    .empty());
}

TEST(LayoutModel, DescribesOneLinePerLocomotive) {
    EXPECT_EQ(LayoutModel().describe(), "no locomotives\n");
    EXPECT_EQ(after({{0x03, 0x78, 0x7B},
                     {0x03, 0x9A, 0x99},
                     {0xC3, 0xE8, 0x3F, 0x01, 0x15},
                     {0x05, 0x80, 0x85}})
                  .describe(),
              "loco 3: step 14 of 28, forward, headlight on, F2 on, F4 on\n"
              "loco 5: stopped (speed mode not known yet), forward, headlight off, F1-F4 off\n"
              "loco 1000 (long): emergency stopped (128 steps), reverse, headlight off, "
              "F1-F4 off\n");
}

} // namespace
