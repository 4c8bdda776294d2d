#include "DCCQueue.h"

#include "DCCMessage.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

class DCCQueueTest : public testing::Test {
protected:
    DCCQueue q{4};
    DCCMessage a{"A", 1, 1};
    DCCMessage b{"B", 2, 2};
    DCCMessage c{"C", 3, 3};
    DCCMessage d{"D", 4, 4};

    std::vector<const DCCMessage*> next(int n) {
        std::vector<const DCCMessage*> out;
        for (int i = 0; i < n; ++i) {
            out.push_back(q.NextMessage());
        }
        return out;
    }

    // Checks the ring both ways from the cursor: every record once, links consistent.
    void expectRing(const std::vector<const DCCMessage*>& fromCursor) {
        ASSERT_FALSE(fromCursor.empty());
        ASSERT_EQ(q.current, fromCursor.front());
        const DCCMessage* m = q.current;
        for (std::size_t i = 0; i < fromCursor.size(); ++i) {
            EXPECT_EQ(m, fromCursor[i]) << "forward " << i;
            EXPECT_EQ(m->queue, &q);
            EXPECT_EQ(m->next->previous, m);
            m = m->next;
        }
        EXPECT_EQ(m, q.current) << "ring does not close";
    }
};

TEST_F(DCCQueueTest, EmptyQueueOffersNothingAndOneRecordComesBackEveryTime) {
    EXPECT_EQ(q.NextMessage(), nullptr);
    EXPECT_EQ(q.current, nullptr);
    a.repeatsLeft = 1;
    q.AddMessage(&a);
    EXPECT_EQ(a.repeatsLeft, 4);
    EXPECT_EQ(next(3), (std::vector<const DCCMessage*>{&a, &a, &a}));
}

TEST_F(DCCQueueTest, RecordsComeOutInTheOrderAddedCyclically) {
    q.AddMessage(&a);
    q.AddMessage(&b);
    EXPECT_EQ(q.current, &b);
    EXPECT_EQ(next(4), (std::vector<const DCCMessage*>{&a, &b, &a, &b}));
    q.AddMessage(&c);
    expectRing({&c, &a, &b});
}

TEST_F(DCCQueueTest, NewcomerWaitsForEveryOtherRecord) {
    q.AddMessage(&a);
    q.AddMessage(&b);
    q.AddMessage(&c); // cursor C
    q.AddMessage(&d);
    EXPECT_EQ(next(4), (std::vector<const DCCMessage*>{&a, &b, &c, &d}));
}

TEST_F(DCCQueueTest, RemovingMakesTheSuccessorTheCursor) {
    q.AddMessage(&a);
    q.AddMessage(&b);
    q.AddMessage(&c);
    EXPECT_EQ(q.NextMessage(), &a); // cursor A
    q.RemoveMessage(&a);
    EXPECT_EQ(next(2), (std::vector<const DCCMessage*>{&c, &b}));
    EXPECT_EQ(a.queue, nullptr);
    EXPECT_EQ(a.repeatsLeft, 0);
}

TEST_F(DCCQueueTest, RemovingBehindTheCursorRepeatsTheLastRecord) {
    q.AddMessage(&a);
    q.AddMessage(&b);
    q.AddMessage(&c); // cursor C
    q.RemoveMessage(&a);
    EXPECT_EQ(q.current, &b);
    EXPECT_EQ(q.NextMessage(), &c);
    expectRing({&c, &b});
}

TEST_F(DCCQueueTest, RemovingTheOnlyRecordEmptiesTheQueue) {
    q.AddMessage(&a);
    q.RemoveMessage(&a);
    EXPECT_EQ(q.current, nullptr);
    EXPECT_EQ(q.NextMessage(), nullptr);
    EXPECT_EQ(a.queue, nullptr);
    EXPECT_EQ(a.repeatsLeft, 0);
}

TEST_F(DCCQueueTest, RemovingARecordOfAnotherQueueOrNoneChangesNothing) {
    DCCQueue other(1);
    q.AddMessage(&a);
    other.AddMessage(&b);
    q.RemoveMessage(&b);
    q.RemoveMessage(&c);
    EXPECT_EQ(b.queue, &other);
    EXPECT_EQ(b.repeatsLeft, 4);
    EXPECT_EQ(c.repeatsLeft, 4);
    expectRing({&a});
    EXPECT_EQ(other.current, &b);
}

TEST_F(DCCQueueTest, RecordMovedBetweenQueuesIsLinkedAfreshWhateverItsStaleLinks) {
    DCCQueue other(1);
    q.AddMessage(&a);
    q.AddMessage(&b);
    q.AddMessage(&c);
    q.RemoveMessage(&b); // b keeps its stale links to a and c
    other.AddMessage(&d);
    other.AddMessage(&b);
    expectRing({&c, &a});
    EXPECT_EQ(other.current, &b);
    EXPECT_EQ(b.next, &d);
    EXPECT_EQ(b.previous, &d);
    EXPECT_EQ(d.next, &b);
    EXPECT_EQ(b.queue, &other);
}

TEST(DCCQueueLifetime, DestroyingAQueueLeavesItsRecordsInNoQueue) {
    DCCMessage a("A", 1, 1);
    DCCMessage b("B", 2, 2);
    {
        DCCQueue q(1);
        q.AddMessage(&a);
        q.AddMessage(&b);
    }
    EXPECT_EQ(a.queue, nullptr);
    EXPECT_EQ(b.queue, nullptr);
}

} // namespace
