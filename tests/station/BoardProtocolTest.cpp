#include "BoardProtocol.h"

#include "StationTestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(BoardProtocol, FramesEachPacketWithItsLength) {
    struct Row {
        Bytes packet;
        Bytes frame;
    };
    const std::vector<Row> rows = {
        {{0x03, 0x78, 0x7B}, {0x03, 0x03, 0x78, 0x7B}},
        {{0xE7, 0xFF, 0xDF, 0x01, 0x02, 0xFA}, {0x06, 0xE7, 0xFF, 0xDF, 0x01, 0x02, 0xFA}},
        {{}, {}},
    };
    BoardProtocol board;
    for (const Row& row : rows) {
        EXPECT_EQ(board.encodePacket(row.packet), row.frame);
    }
}

TEST(BoardProtocol, EveryDeliveryOfTextIsOneReply) {
    struct Row {
        std::vector<std::string> pieces;
        std::size_t replies;
    };
    const std::vector<Row> rows = {
        {{"OK\n"}, 1},
        {{"a", "b", "c"}, 3},
        {{"d\xC3\xA9j\xC3\xA0"}, 1},
        {{""}, 0},
        {{"\xFF"}, 0},
        // A character split between deliveries: neither is text.
        {{"\xC3", "\xA9"}, 0},
        // A surrogate.
        {{"\xED\xA0\x80"}, 0},
    };
    for (const Row& row : rows) {
        BoardProtocol board;
        EXPECT_EQ(feedPieces(board, row.pieces), std::vector<std::string>(row.replies, "reply"))
            << row.pieces.front();
    }
}

} // namespace
