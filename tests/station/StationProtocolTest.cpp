#include "StationProtocol.h"

#include "StationTestSupport.h"

#include <gtest/gtest.h>

namespace {

struct KindRow {
    StationKind kind;
    int repeats;
    bool repeatsInSecondQueue;
    bool refreshesItself;
    bool keepsLinkBusy;
    std::string powerOn;
    std::string powerOff;
    std::string greeting;
    // A partial reply that clear() must forget, then one whole reply.
    std::string partial;
    std::string whole;
};

const std::vector<KindRow> kinds = {
    {StationKind::board, 4, true, false, false, "", "", "", "\xC3", "ok"},
    {StationKind::dccex, 1, false, true, false, "<1><#>", "<0><#>", "<s><#>", "<p1", "<# 50>"},
    {StationKind::sprog, 4, true, false, true, "+\r", "-\r", "?\r", "P", "> P> "},
};

TEST(StationProtocol, EachKindSpeaksAndRepeatsAsItsStationWants) {
    for (const KindRow& row : kinds) {
        SCOPED_TRACE(std::string(stationKindWord(row.kind)));
        const auto protocol = makeStationProtocol(row.kind);
        EXPECT_EQ(protocol->kind(), row.kind);
        EXPECT_EQ(protocol->repeats(), row.repeats);
        EXPECT_EQ(protocol->repeatsInSecondQueue(), row.repeatsInSecondQueue);
        EXPECT_EQ(protocol->refreshesItself(), row.refreshesItself);
        EXPECT_EQ(protocol->keepsLinkBusy(), row.keepsLinkBusy);
        EXPECT_EQ(protocol->switchesPower(), !row.powerOn.empty());
        EXPECT_EQ(textOf(protocol->encodePower(true)), row.powerOn);
        EXPECT_EQ(textOf(protocol->encodePower(false)), row.powerOff);
        EXPECT_EQ(textOf(protocol->greeting()), row.greeting);

        // What came before the port closed must not join what comes after it opens.
        EXPECT_TRUE(protocol->feed(bytesOf(row.partial)).empty());
        protocol->clear();
        EXPECT_EQ(feedPieces(*protocol, {row.whole}), std::vector<std::string>{"reply"});
    }
}

} // namespace
