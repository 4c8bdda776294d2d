#include "DCCDispatcher.h"

#include "DCCMessage.h"
#include "DCCMessageDisplay.h"
#include "WorkedSequences.h"

#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

class RecordingDisplay : public DCCMessageDisplay {
public:
    void displayMessage(std::string text) override { lines.push_back(std::move(text)); }
    std::vector<std::string> lines;
};

std::string pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

class DCCDispatcherTest : public testing::Test {
protected:
    void SetUp() override { controller = &display; }
    void TearDown() override { controller = nullptr; }

    // Runs one call that must write exactly one frame, and records which record it wrote and the
    // wire bytes of that frame.
    template <typename Call>
    void writesOne(Call call) {
        const std::size_t before = display.lines.size();
        call();
        ASSERT_EQ(display.lines.size(), before + 1) << "expected exactly one frame";
        const std::string& line = display.lines.back();
        const std::string prefix = "SENDING MESSAGE  ";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        ASSERT_EQ(line.back(), '\t') << line;
        const std::string name = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        ASSERT_EQ(dispatcher.lastMessage()->name, name);
        written.push_back(name);
        frames.push_back(DCCDispatcher::frameOf(*dispatcher.lastMessage()));
    }

    // Stands in for the board: one acknowledgement per frame until the dispatcher goes idle.
    void acknowledgeUntilIdle() {
        for (int guard = 0; !dispatcher.empty(); ++guard) {
            ASSERT_LT(guard, 100) << "dispatcher never went idle";
            writesOne([&] { dispatcher.sendNextMessage(); });
        }
    }

    RecordingDisplay display;
    DCCDispatcher dispatcher;
    std::vector<std::string> written;
    std::vector<Bytes> frames;
};

class DCCDispatcherSequences : public DCCDispatcherTest,
                               public testing::WithParamInterface<WorkedSequence> {};

TEST_P(DCCDispatcherSequences, WritesEachFrameInTheWorkedOrder) {
    std::map<std::string, DCCMessage> records;
    addWorkedSequenceRecords(records);

    const WorkedSequence& seq = GetParam();
    testing::internal::CaptureStdout();
    writesOne([&] { dispatcher.addMessage(&records.at(seq.added[0].first), seq.added[0].second); });
    for (std::size_t i = 1; i < seq.added.size(); ++i) {
        const std::size_t before = display.lines.size();
        dispatcher.addMessage(&records.at(seq.added[i].first), seq.added[i].second);
        EXPECT_EQ(display.lines.size(), before) << "a busy dispatcher must wait for the reply";
    }
    acknowledgeUntilIdle();
    const std::string log = testing::internal::GetCapturedStdout();

    EXPECT_THAT(written, ElementsAreArray(seq.expected));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], workedSequenceWire().at(written[i])) << "frame " << i;
    }

    // Every record ran its full course and left the queues.
    for (const auto& [name, priority] : seq.added) {
        const DCCMessage& m = records.at(name);
        EXPECT_EQ(m.queue, nullptr) << name;
        EXPECT_EQ(m.repeatsLeft, 0) << name;
        EXPECT_EQ(m.timesSent, priority == 0 ? 8 : 4) << name;
    }
    EXPECT_TRUE(dispatcher.queuesAreEmpty());
    EXPECT_EQ(dispatcher.idleMessage()->timesSent, 0);

    std::size_t deletions = 0;
    for (std::size_t at = log.find("\n message deleted"); at != std::string::npos;
         at = log.find("\n message deleted", at + 1)) {
        ++deletions;
    }
    EXPECT_EQ(deletions, seq.added.size());

    // An acknowledgement while idle writes nothing.
    const std::size_t before = display.lines.size();
    dispatcher.sendNextMessage();
    EXPECT_EQ(display.lines.size(), before);
    EXPECT_TRUE(dispatcher.empty());
}

INSTANTIATE_TEST_SUITE_P(WorkedSequences, DCCDispatcherSequences,
                         testing::ValuesIn(workedSequences()),
                         [](const testing::TestParamInfo<WorkedSequence>& info) {
                             return std::string(info.param.title);
                         });

TEST_F(DCCDispatcherTest, BothQueuesEmptyWritesAndLogsNothing) {
    testing::internal::CaptureStdout();
    dispatcher.sendNextMessage();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(dispatcher.empty());
    EXPECT_TRUE(display.lines.empty());
    EXPECT_NE(dispatcher.idleMessage(), nullptr);
}

TEST_F(DCCDispatcherTest, FirstTransmissionLogsQueueAndCountBeforeIt) {
    DCCMessage s("S", 0x03, 0x78);
    testing::internal::CaptureStdout();
    dispatcher.addMessage(&s, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n SEND MESSAGE \n queue 0  count 4    " + pointer(&s));
    EXPECT_THAT(display.lines, ElementsAre("SENDING MESSAGE  S\t"));
    EXPECT_EQ(dispatcher.sendCount(), 3);
}

TEST_F(DCCDispatcherTest, WithoutAPortTheTransmissionIsStillCounted) {
    ASSERT_EQ(dispatcher.serialPort(), nullptr);
    DCCMessage s("S", 0x03, 0x78);
    dispatcher.addMessage(&s, 0);
    EXPECT_EQ(s.repeatsLeft, 3);
    EXPECT_EQ(s.timesSent, 1);
    EXPECT_EQ(dispatcher.sendCount(), 3);
    EXPECT_EQ(dispatcher.lastMessage(), &s);
    EXPECT_FALSE(dispatcher.empty());
}

TEST_F(DCCDispatcherTest, ReaddingTheLastRecordAfterIdleWritesIdleFirst) {
    DCCMessage h("H", 0x03, 0x90);
    dispatcher.addMessage(&h, 1);
    acknowledgeUntilIdle();
    ASSERT_EQ(dispatcher.lastMessage(), &h);

    testing::internal::CaptureStdout();
    writesOne([&] { dispatcher.addMessage(&h, 1); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n message == lastMessage\n SEND IDLE \n " + pointer(dispatcher.idleMessage()));
    EXPECT_EQ(written.back(), "IDLE");
    writesOne([&] { dispatcher.sendNextMessage(); });
    EXPECT_EQ(written.back(), "H");
}

TEST_F(DCCDispatcherTest, ReaddingAQueuedRecordRestartsItsCourse) {
    DCCMessage s("S", 0x03, 0x78);
    DCCMessage h("H", 0x03, 0x90);
    DCCMessage x("X", 0x03, 0x60);
    writesOne([&] { dispatcher.addMessage(&s, 0); });
    dispatcher.addMessage(&h, 1);
    dispatcher.addMessage(&x, 1);
    writesOne([&] { dispatcher.sendNextMessage(); });
    writesOne([&] { dispatcher.sendNextMessage(); });
    ASSERT_EQ(written, (std::vector<std::string>{"S", "H", "S"}));
    ASSERT_EQ(s.repeatsLeft, 2);

    // Same priority: four to go again.
    dispatcher.addMessage(&s, 0);
    EXPECT_EQ(s.repeatsLeft, 4);
    EXPECT_EQ(s.queue, &dispatcher.dispatchQueue(0));

    // Other priority: moved, four to go there, placed after queue 1's cursor (H, written last
    // from that queue), so X and H are served before it.
    dispatcher.addMessage(&s, 1);
    EXPECT_EQ(s.queue, &dispatcher.dispatchQueue(1));
    EXPECT_EQ(s.repeatsLeft, 4);
    EXPECT_TRUE(dispatcher.dispatchQueue(0).current == nullptr);
    written.clear();
    acknowledgeUntilIdle();
    ASSERT_GE(written.size(), 3u);
    EXPECT_EQ(written[0], "X");
    EXPECT_EQ(written[1], "H");
    EXPECT_EQ(written[2], "S");
    EXPECT_EQ(s.timesSent, 2 + 4);
    EXPECT_EQ(h.timesSent, 4);
    EXPECT_EQ(x.timesSent, 4);
}

TEST_F(DCCDispatcherTest, LateAcknowledgementLeavesTwoFramesOutstanding) {
    DCCMessage h("H", 0x03, 0x90);
    DCCMessage x("X", 0x03, 0x60);
    dispatcher.addMessage(&h, 1);
    acknowledgeUntilIdle(); // idle, though H's last frame still awaits its reply
    written.clear();

    writesOne([&] { dispatcher.addMessage(&x, 1); }); // written at once
    writesOne([&] { dispatcher.sendNextMessage(); }); // the late reply to H releases one more
    EXPECT_EQ(written, (std::vector<std::string>{"X", "IDLE"}));
    // From here each reply releases one frame; two are always outstanding until idle.
    acknowledgeUntilIdle();
    EXPECT_EQ(written, (std::vector<std::string>{"X", "IDLE", "X", "IDLE", "X", "IDLE", "X"}));
}

TEST_F(DCCDispatcherTest, PriorityOutsideZeroAndOneIsClamped) {
    DCCMessage low("LOW", 0x03, 0x60);
    DCCMessage high("HIGH", 0x03, 0x90);
    DCCMessage hold("HOLD", 0x03, 0x80);
    dispatcher.addMessage(&hold, 1); // keeps the dispatcher busy so the others stay queued
    dispatcher.addMessage(&low, -5);
    dispatcher.addMessage(&high, 7);
    EXPECT_EQ(low.queue, &dispatcher.dispatchQueue(0));
    EXPECT_EQ(high.queue, &dispatcher.dispatchQueue(1));
    acknowledgeUntilIdle();
    EXPECT_EQ(low.timesSent, 8);
    EXPECT_EQ(high.timesSent, 4);
}

TEST_F(DCCDispatcherTest, NoDisplayRegisteredSkipsTheLine) {
    controller = nullptr;
    DCCMessage s("S", 0x03, 0x78);
    dispatcher.addMessage(&s, 1);
    EXPECT_EQ(s.timesSent, 1);
    EXPECT_TRUE(display.lines.empty());
}

// Two dispatchers side by side (a headless run beside a test, say) each show their own lines, and
// an injected display, or none, is used whatever `controller` holds.
TEST_F(DCCDispatcherTest, AnInjectedDisplayTakesTheLinesInsteadOfTheGlobalOne) {
    RecordingDisplay own;
    DCCDispatcher mine(&own);
    DCCDispatcher silent(nullptr);
    DCCMessage s("S", 0x03, 0x78);
    DCCMessage h("H", 0x03, 0x90);
    DCCMessage g("G", 0x03, 0x60);
    mine.addMessage(&s, 1);
    silent.addMessage(&h, 1);
    dispatcher.addMessage(&g, 1);
    EXPECT_EQ(own.lines, std::vector<std::string>{"SENDING MESSAGE  S\t"});
    EXPECT_EQ(display.lines, std::vector<std::string>{"SENDING MESSAGE  G\t"});
}

TEST(DCCDispatcherLifetime, RecordsOutliveTheDispatcherUnqueued) {
    DCCMessage s("S", 0x03, 0x78);
    DCCMessage h("H", 0x03, 0x90);
    {
        DCCDispatcher dispatcher;
        dispatcher.addMessage(&s, 0);
        dispatcher.addMessage(&h, 1);
    }
    EXPECT_EQ(s.queue, nullptr);
    EXPECT_EQ(h.queue, nullptr);

    // The same records can be handed to a new dispatcher.
    DCCDispatcher next;
    next.addMessage(&s, 0);
    next.addMessage(&h, 1);
    EXPECT_EQ(s.queue, &next.dispatchQueue(0));
    EXPECT_EQ(h.queue, &next.dispatchQueue(1));
}

} // namespace
