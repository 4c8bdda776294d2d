#pragma once

#include "BackgroundThreads.h"
#include "KESSerialPort.h"
#include "PseudoTerminalPair.h"
#include "RecordingDelegate.h"
#include "RecordingLog.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"

#include <gtest/gtest.h>
#include <memory>

// A port on a real pseudo-terminal, listed by the test registry as device "ttyTEST0" (callout
// path = the slave node, dial-in path = dialinPath()), with a recording delegate, on the test
// main queue. Tear-down closes the port and waits until every background thread has been
// joined, so each test starts from a clean process.
class PortFixture : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the main queue until condition holds; fails the test if it never does.
    void runUntil(const std::function<bool()>& condition);
    // Waits until the background threads of earlier openings have ended and been joined.
    void waitForThreads(std::size_t running);
    const std::string& dialinPath() const { return dialinPath_; }

    TestMainQueue queue;
    TestDeviceRegistry registry;
    RecordingLog log;
    PseudoTerminalPair pty;
    RecordingDelegate delegate;
    DeviceHandle device;
    std::shared_ptr<KESSerialPort> port;

private:
    std::string dialinPath_;
};
