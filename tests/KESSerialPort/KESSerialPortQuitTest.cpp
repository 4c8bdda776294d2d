#include "BackgroundThreads.h"
#include "KESSerialPort.h"
#include "ProgramLifetime.h"
#include "PseudoTerminalPair.h"
#include "RecordingLog.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"
#include "TestModemLines.h"

#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <ostream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Quitting while something is still running: the program's lifetime ends with work in flight
// that a careless end would hang on, crash under, or leave behind.
struct Quit {
    const char* name;
    // Runs inside the lifetime, on the main thread: leaves the work running in the state named,
    // and returns what the work keeps alive.
    std::function<std::shared_ptr<void>(TestMainQueue&, const PseudoTerminalPair&, TestModemLines&)>
        leaveRunning;
    // A line the work logs as it stops, which the lifetime's own log must still hear; none if null.
    const char* loggedAtStop = nullptr;
};

// The lifetime's services: a log that hands what it heard to the test when it is destroyed.
class LogServices : public ProgramLifetime::Services {
public:
    explicit LogServices(std::vector<std::string>& heard) : heard_(heard) {}
    ~LogServices() override { heard_ = log_.lines(); }

private:
    std::vector<std::string>& heard_;
    RecordingLog log_;
};

std::shared_ptr<void> portWithLinePollWaiting(TestMainQueue& queue, const PseudoTerminalPair& pty,
                                              TestModemLines& lines) {
    auto port = KESSerialPort::serialPortWithKnownPath(pty.slavePath(), "quitting");
    EXPECT_NE(port, nullptr);
    port->open();
    EXPECT_TRUE(port->isOpen());
    queue.drain(); // the opened callback
    // The far end raises CTS: the 10 ms poll sees it and waits in syncFromBackground for the main
    // thread, which never runs the task.
    lines.setWord(TIOCM_CTS);
    EXPECT_TRUE(queue.waitForQueued(1));
    return port;
}

std::shared_ptr<void> threadWaitingForTheMainThread(TestMainQueue& queue, const PseudoTerminalPair&,
                                                    TestModemLines&) {
    auto kept = std::make_shared<int>(0);
    BackgroundThreads::shared().start(
        [handle = MainQueue::sharedHandle()](std::stop_token) { handle.syncFromBackground([] {}); },
        kept);
    EXPECT_TRUE(queue.waitForQueued(1));
    return kept;
}

std::shared_ptr<void> threadRunningUntilStopped(TestMainQueue&, const PseudoTerminalPair&,
                                                TestModemLines&) {
    auto kept = std::make_shared<int>(0);
    BackgroundThreads::shared().start(
        [](std::stop_token stop) {
            std::mutex mutex;
            std::condition_variable_any never;
            std::unique_lock lock(mutex);
            never.wait(lock, stop, [] { return false; });
            Log::line("stopped");
        },
        kept);
    return kept;
}

void PrintTo(const Quit& quit, std::ostream* out) {
    *out << quit.name;
}

class ProgramLifetimeQuit : public testing::TestWithParam<Quit> {};

TEST_P(ProgramLifetimeQuit, EndsWithEveryThreadJoinedAndEverythingLetGo) {
    ASSERT_EQ(MainQueue::installed(), nullptr);
    // What the background work uses is made before the lifetime, so it outlives the threads.
    PseudoTerminalPair pty;
    TestDeviceRegistry registry; // lists nothing: the terminal is not a machine device
    TestModemLines lines;
    std::weak_ptr<void> kept;
    std::vector<std::string> heard;
    {
        TestMainQueue queue;
        const ProgramLifetime lifetime(queue, std::make_unique<LogServices>(heard));
        kept = GetParam().leaveRunning(queue, pty, lines);
        ASSERT_GE(BackgroundThreads::shared().running(), 1u);
    }
    EXPECT_EQ(BackgroundThreads::shared().running(), 0u);
    EXPECT_TRUE(kept.expired()) << "what the threads kept alive was released";
    EXPECT_EQ(MainQueue::installed(), nullptr);
    if (GetParam().loggedAtStop != nullptr) {
        EXPECT_THAT(heard, testing::Contains(GetParam().loggedAtStop))
            << "the services stay installed until the threads are joined";
    }
    // The device is free again: nobody holds it open, exclusively or locked.
    const int descriptor = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(descriptor, 0) << "still held exclusively";
    EXPECT_EQ(::flock(descriptor, LOCK_EX | LOCK_NB), 0) << "still locked";
    ::close(descriptor);
}

INSTANTIATE_TEST_SUITE_P(
    WithWorkInFlight, ProgramLifetimeQuit,
    testing::Values(Quit{"PortOpenWithItsLinePollWaiting", portWithLinePollWaiting},
                    Quit{"ThreadWaitingForTheMainThread", threadWaitingForTheMainThread},
                    Quit{"ThreadRunningUntilStopped", threadRunningUntilStopped, "stopped"}),
    [](const testing::TestParamInfo<Quit>& info) { return std::string(info.param.name); });

} // namespace
