#include "SPROGProtocol.h"

#include "StationTestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(SPROGProtocol, SendsEachPacketAsAnOCommand) {
    struct Row {
        Bytes packet;
        std::string command;
    };
    const std::vector<Row> rows = {
        {{0x03, 0x78, 0x7B}, "O 03 78 7B\r"},
        {{0xFF, 0x00, 0xFF}, "O FF 00 FF\r"},
        {{0xE7, 0xFF, 0xDF, 0x01, 0x02, 0xFA}, "O E7 FF DF 01 02 FA\r"},
    };
    SPROGProtocol sprog;
    for (const Row& row : rows) {
        EXPECT_EQ(textOf(sprog.encodePacket(row.packet)), row.command);
    }
}

TEST(SPROGProtocol, AReplyEndsAtItsPrompt) {
    const std::string filler(1100, 'a');
    struct Row {
        std::vector<std::string> pieces;
        std::vector<std::string> events;
    };
    const std::vector<Row> rows = {
        {{"= 03 78 7B\nP> "}, {"reply"}},
        {{"= h\r\nP", ">", " "}, {"reply"}},
        {{"P> R> "}, {"reply", "reply"}},
        {{"P>"}, {}},
        {{"!", "O\r\nP> "}, {"overload off", "reply"}},
        {{"!E\nP> "}, {"error", "reply"}},
        {{"\nSPROG II Ver 4.5\n", "P> "}, {"version SPROG II Ver 4.5", "reply"}},
        {{"Pi-SPROG One v1.2 R> "}, {"version Pi-SPROG One v1.2", "reply"}},
        // Past the limit without a prompt the text goes; the prompt still counts.
        {{filler, "P> ", filler, "P> "}, {"lineTooLong", "reply", "reply"}},
        {{filler.substr(0, 1023) + "P", "> "}, {"lineTooLong", "reply"}},
    };
    for (const Row& row : rows) {
        SPROGProtocol sprog;
        EXPECT_EQ(feedPieces(sprog, row.pieces), row.events) << row.pieces.front().substr(0, 40);
    }
}

} // namespace
