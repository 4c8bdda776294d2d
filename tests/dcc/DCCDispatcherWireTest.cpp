#include "DCCDispatcher.h"
#include "DCCMessage.h"
#include "PortFixture.h"
#include "WorkedSequences.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <map>

namespace {

// The dispatcher on a real port: the test plays the command-station board on the master side of
// a pseudo-terminal, reading each frame off the wire and answering it.
class DCCDispatcherOnTheWire : public PortFixture,
                               public testing::WithParamInterface<WorkedSequence> {};

TEST_P(DCCDispatcherOnTheWire, WritesTheWorkedSequenceByteForByte) {
    std::map<std::string, DCCMessage> records;
    addWorkedSequenceRecords(records);
    DCCDispatcher dispatcher;
    dispatcher.setSerialPort(port);
    std::size_t replies = 0;
    delegate.onData = [&](const Bytes&) {
        ++replies;
        if (!dispatcher.empty()) {
            dispatcher.sendNextMessage();
        }
    };
    port->open();

    const WorkedSequence& sequence = GetParam();
    std::vector<Bytes> onTheWire;
    auto readFrame = [&] {
        const Bytes length = pty.read(1);
        ASSERT_EQ(length.size(), 1u);
        Bytes frame = length;
        const Bytes rest = pty.read(length[0]);
        frame.insert(frame.end(), rest.begin(), rest.end());
        onTheWire.push_back(frame);
    };

    testing::internal::CaptureStdout(); // the dispatcher's own log lines
    dispatcher.addMessage(&records.at(sequence.added[0].first), sequence.added[0].second);
    for (std::size_t i = 1; i < sequence.added.size(); ++i) {
        dispatcher.addMessage(&records.at(sequence.added[i].first), sequence.added[i].second);
    }
    // The port writes inside the delivery, so once a reply has been handled its frame, if any,
    // is already on the wire. The dispatcher goes idle on writing its last frame.
    readFrame();
    while (!dispatcher.empty() && onTheWire.size() < 100) {
        pty.write({'\r'});
        const std::size_t expectedReplies = replies + 1;
        runUntil([&] { return replies == expectedReplies; });
        if (pty.hasData()) {
            readFrame();
        }
    }
    const std::size_t finalReplies = replies;
    pty.write({'\r'}); // a reply to the idle dispatcher releases nothing
    runUntil([&] { return replies == finalReplies + 1; });
    testing::internal::GetCapturedStdout();

    std::vector<Bytes> expected;
    for (const std::string& name : sequence.expected) {
        expected.push_back(workedSequenceWire().at(name));
    }
    EXPECT_EQ(onTheWire, expected);
    EXPECT_FALSE(pty.hasData()) << "an idle dispatcher writes nothing";
}

INSTANTIATE_TEST_SUITE_P(WorkedSequences, DCCDispatcherOnTheWire,
                         testing::ValuesIn(workedSequences()),
                         [](const testing::TestParamInfo<WorkedSequence>& info) {
                             return std::string(info.param.title);
                         });

} // namespace
