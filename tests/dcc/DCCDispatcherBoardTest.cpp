#include "BackgroundThreads.h"
#include "DCCDispatcher.h"
#include "DCCMessage.h"
#include "KESSerialPort.h"
#include "RecordingDelegate.h"
#include "SimulatedBoard.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"
#include "WorkedSequences.h"

#include <gtest/gtest.h>

namespace {

// The whole link: dispatcher, real port, and the simulated board at the far end of a
// pseudo-terminal, decoding what arrives. Each reply of the board releases the next frame.
TEST(DCCDispatcherWithTheSimulatedBoard, DrivesTheLocomotiveTheFramesDescribe) {
    TestMainQueue queue;
    MainQueue::setShared(&queue);
    TestDeviceRegistry registry; // lists nothing: the board's terminal is not a machine device
    SimulatedBoard board;
    board.start();

    std::map<std::string, DCCMessage> records;
    addWorkedSequenceRecords(records);
    DCCDispatcher dispatcher;
    RecordingDelegate delegate;
    delegate.onData = [&](const Bytes&) {
        if (!dispatcher.empty()) {
            dispatcher.sendNextMessage();
        }
    };
    {
        auto port = KESSerialPort::serialPortWithKnownPath(board.slavePath(), "board");
        ASSERT_NE(port, nullptr);
        port->setDelegate(&delegate);
        port->open();
        dispatcher.setSerialPort(port);
    }

    testing::internal::CaptureStdout();
    dispatcher.addMessage(&records.at("S"), 0); // loco 3, step 14 of 28, forward
    dispatcher.addMessage(&records.at("H"), 1); // loco 3, headlight on
    const std::size_t frames = workedSequences()[2].expected.size();
    ASSERT_TRUE(queue.runUntil([&] { return delegate.deliveries.size() == frames; }));
    testing::internal::GetCapturedStdout();

    EXPECT_TRUE(dispatcher.empty());
    const SimulatedBoard::Counters counters = board.counters();
    EXPECT_EQ(counters.frames, frames);
    EXPECT_EQ(counters.badErrorBytes + counters.badLengths, 0u);
    const auto loco = board.layout().find(LocoAddress{3, false});
    ASSERT_TRUE(loco.has_value());
    EXPECT_TRUE(loco->forward);
    EXPECT_EQ(loco->functions & 1u, 1u); // F0, the headlight
    EXPECT_FALSE(loco->emergencyStopped);
    EXPECT_EQ(loco->step, 14);

    dispatcher.serialPort()->setDelegate(nullptr);
    dispatcher.serialPort()->close();
    dispatcher.setSerialPort(nullptr);
    ASSERT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
    board.stop();
    MainQueue::setShared(nullptr);
}

} // namespace
