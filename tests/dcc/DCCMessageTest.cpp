#include "DCCMessage.h"

#include "DCCQueue.h"

#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using testing::ElementsAre;

namespace {

// The first N + 1 bytes of the frame: what goes on the wire.
std::vector<std::uint8_t> wire(const DCCMessage& m) {
    return {m.frame.begin(), m.frame.begin() + m.packetLength + 1};
}

TEST(DCCMessage, NamedConstructorsLayOutTheFrameWithItsErrorByte) {
    const DCCMessage idle("IDLE", 0xFF, 0x00);
    EXPECT_THAT(wire(idle), ElementsAre(0x03, 0xFF, 0x00, 0xFF));
    EXPECT_EQ(idle.packetLength, 3);
    EXPECT_EQ(idle.name, "IDLE");

    const DCCMessage speed128("SPEED", 0x03, 0x3F, 0x85);
    EXPECT_THAT(wire(speed128), ElementsAre(0x04, 0x03, 0x3F, 0x85, 0xB9));
    EXPECT_EQ(speed128.packetLength, 4);

    for (const DCCMessage* m : {&idle, &speed128}) {
        EXPECT_EQ(m->next, m);
        EXPECT_EQ(m->previous, m);
        EXPECT_EQ(m->queue, nullptr);
        EXPECT_EQ(m->repeatsLeft, 4);
        EXPECT_EQ(m->timesSent, 0);
    }
}

TEST(DCCMessage, ShorterUpdateKeepsTheOldTailOutsideThePacket) {
    DCCMessage m("SPEED", 0x03, 0x3F, 0x85);
    m.updateData(0x03, 0x60);
    EXPECT_EQ(m.packetLength, 3);
    EXPECT_THAT(wire(m), ElementsAre(0x03, 0x03, 0x60, 0x63));
    EXPECT_EQ(m.frame[4], 0xB9); // the earlier error byte, no longer part of the packet

    m.updateData(0x00, 0x00); // equal bytes cancel out
    EXPECT_THAT(wire(m), ElementsAre(0x03, 0x00, 0x00, 0x00));

    m.updateData(0xE7, 0xFF, 0x3F, 0xFF); // long address, 128-step speed
    EXPECT_EQ(m.packetLength, 5);
    EXPECT_THAT(wire(m), ElementsAre(0x05, 0xE7, 0xFF, 0x3F, 0xFF, 0xD8));
}

TEST(DCCMessage, UpdateOnAQueuedRecordChangesOnlyThePacket) {
    DCCQueue q(4);
    DCCMessage a("A", 1, 2);
    DCCMessage b("B", 3, 4);
    q.AddMessage(&a);
    q.AddMessage(&b);
    b.repeatsLeft = 2;
    b.timesSent = 9;

    b.updateData(0x05, 0x06, 0x07);

    EXPECT_EQ(b.queue, &q);
    EXPECT_EQ(b.next, &a);
    EXPECT_EQ(b.previous, &a);
    EXPECT_EQ(b.repeatsLeft, 2);
    EXPECT_EQ(b.timesSent, 9);
    EXPECT_EQ(b.name, "B");
    EXPECT_THAT(wire(b), ElementsAre(0x04, 0x05, 0x06, 0x07, 0x05 ^ 0x06 ^ 0x07));
}

TEST(DCCMessage, DefaultRecordCarriesTheIdlePacketAndPrintsItsAddress) {
    testing::internal::CaptureStdout();
    const DCCMessage m;
    const std::string out = testing::internal::GetCapturedStdout();

    char expected[64];
    std::snprintf(expected, sizeof expected, "\n init %p", static_cast<const void*>(&m));
    EXPECT_EQ(out, expected);
    EXPECT_THAT(wire(m), ElementsAre(0x03, 0xFF, 0x00, 0xFF));
    EXPECT_TRUE(m.name.empty());
    EXPECT_EQ(m.repeatsLeft, 4);
    EXPECT_EQ(m.next, &m);
}

TEST(DCCMessage, DestroyingAQueuedRecordUnlinksIt) {
    DCCQueue q(1);
    DCCMessage a("A", 1, 2);
    {
        DCCMessage b("B", 3, 4);
        q.AddMessage(&a);
        q.AddMessage(&b);
    }
    EXPECT_EQ(q.NextMessage(), &a);
    EXPECT_EQ(q.NextMessage(), &a);
    EXPECT_EQ(a.next, &a);
    EXPECT_EQ(a.previous, &a);
}

} // namespace
