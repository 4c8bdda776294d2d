#include "KESSerialPort.h"
#include "KESSerialPortThreads.h"
#include "PortFixture.h"
#include "TestModemLines.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <thread>

namespace {

// A port whose device has modem lines. No build machine has such a device, so the lines are the
// test's; the descriptor, the read loop and everything else are real.
class KESSerialPortModemLines : public PortFixture {
protected:
    // Waits until the poll has read the lines count more times. A poll that had announced a
    // change would be waiting for the main thread, which this does not serve, and never get there.
    void waitForPolls(int count) {
        const int target = lines.reads() + count;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (lines.reads() < target) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the poll stopped";
            std::this_thread::yield();
        }
    }

    // Lets the poll read the lines count more times, serving the main queue meanwhile, so that
    // the poll's hand-overs (reports, changes) are taken as they come.
    void servePolls(int count) {
        const int target = lines.reads() + count;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (lines.reads() < target) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the poll stopped";
            queue.drain();
            std::this_thread::yield();
        }
        queue.drain();
    }

    TestModemLines lines;
    bool onMainThread = true;
};

TEST_F(KESSerialPortModemLines, OpeningDrivesOnlyTheOutputsThatDifferFromTheWantedState) {
    lines.setWord(TIOCM_RTS); // the device has RTS up, DTR down
    port->setDTR(true);       // wanted: RTS down, DTR up; stored only, the port being closed
    EXPECT_EQ(lines.writes(), 0);

    std::vector<std::string> heard;
    std::vector<Subscription> observing;
    for (const char* key : {"RTS", "DTR"}) {
        observing.push_back(
            port->addObserver(key, [&heard](std::string_view k) { heard.emplace_back(k); }));
    }
    port->open();
    EXPECT_EQ(lines.word(), TIOCM_DTR);
    EXPECT_FALSE(port->RTS());
    EXPECT_TRUE(port->DTR());
    EXPECT_EQ(heard, (std::vector<std::string>{"RTS", "DTR", "RTS", "DTR"}));
    ASSERT_NE(port->pinPollTimer(), nullptr);
}

TEST_F(KESSerialPortModemLines, AnOutputSetterTouchesItsOwnLineAndOnlyOnChange) {
    port->setRTS(true);
    port->setDTR(true);
    port->open();
    ASSERT_EQ(lines.word(), TIOCM_RTS | TIOCM_DTR);

    port->setDTR(false);
    EXPECT_EQ(lines.word(), TIOCM_RTS);
    const int writes = lines.writes();
    port->setDTR(false);
    port->setRTS(true);
    EXPECT_EQ(lines.writes(), writes) << "an unchanged value drives nothing";

    lines.failWrites(EIO);
    port->setRTS(false);
    EXPECT_FALSE(port->RTS()) << "the wanted state is kept";
    queue.drain();
    ASSERT_EQ(delegate.errors.size(), 1u);
    EXPECT_EQ(delegate.errors[0].code(), EIO);
}

TEST_F(KESSerialPortModemLines, InputChangesAreAnnouncedOnTheMainThreadOnceEach) {
    int ctsHeard = 0;
    int dcdHeard = 0;
    const Subscription cts = port->addObserver("CTS", [&](std::string_view) {
        ++ctsHeard;
        onMainThread = onMainThread && queue.isMainThread();
    });
    const Subscription dcd = port->addObserver("DCD", [&](std::string_view) { ++dcdHeard; });
    port->open();
    waitForPolls(3);
    EXPECT_EQ(ctsHeard, 0) << "lines that read low, as stored, are no change";

    lines.setWord(TIOCM_CTS | TIOCM_CD);
    runUntil([&] { return port->CTS() && port->DCD(); });
    waitForPolls(3); // later polls see the same state
    queue.drain();
    EXPECT_EQ(ctsHeard, 1);
    EXPECT_EQ(dcdHeard, 1);
    EXPECT_FALSE(port->DSR());
    EXPECT_TRUE(onMainThread);

    // Closing stops the poll; the inputs keep their last values.
    port->close();
    waitForThreads(0);
    const int reads = lines.reads();
    lines.setWord(0);
    queue.drain();
    EXPECT_TRUE(port->CTS());
    EXPECT_EQ(lines.reads(), reads);
}

TEST_F(KESSerialPortModemLines, ALastingLineFailureIsReportedOnceAndAgainWhenItChanges) {
    lines.failReads(EIO);
    port->open(); // the read at open fails too: reported, and the outputs settle as if both low
    struct Step {
        int failure; // what the line reads fail with from now on; 0: they succeed
        std::vector<int> reported;
    };
    const Step steps[] = {
        {EIO, {EIO}},                 // the poll fails as open did: nothing new
        {EPERM, {EIO, EPERM}},        // a different failure is news
        {0, {EIO, EPERM}},            // so is a recovery, but not to the delegate
        {EPERM, {EIO, EPERM, EPERM}}, // failing again after it cleared is news again
    };
    for (const Step& step : steps) {
        lines.failReads(step.failure);
        servePolls(5);
        std::vector<int> codes;
        for (const PosixError& error : delegate.errors) {
            codes.push_back(error.code());
        }
        EXPECT_EQ(codes, step.reported) << "after failing with " << step.failure;
    }
    EXPECT_TRUE(port->isOpen());
    lines.failReads(0);
}

TEST_F(KESSerialPortModemLines, AThreadThatCannotStartRollsTheOpeningBack) {
    using Kind = KESSerialPortThreads::Kind;
    termios cooked{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &cooked), 0);
    for (Kind failing : {Kind::readLoop, Kind::linePoll}) {
        SCOPED_TRACE(failing == Kind::readLoop ? "read loop" : "line poll");
        KESSerialPortThreads::install([failing](Kind kind, const std::function<void()>& start) {
            if (kind == failing) {
                throw std::system_error(EAGAIN, std::generic_category(), "no thread");
            }
            start();
        });
        port->open();
        KESSerialPortThreads::install({});
        EXPECT_FALSE(port->isOpen());
        termios after{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO))
            << "the device's own settings are back";
        queue.drain();
        EXPECT_EQ(delegate.events, std::vector<std::string>{"error"}) << "and no opened";
        ASSERT_EQ(delegate.errors.size(), 1u);
        EXPECT_EQ(delegate.errors[0].code(), EAGAIN);
        waitForThreads(0); // a loop that did start has ended, and nothing keeps the port

        port->open(); // the device and its lock were let go
        EXPECT_TRUE(port->isOpen());
        port->close();
        queue.drain();
        delegate.events.clear();
        delegate.errors.clear();
    }
    const std::vector<std::string> logged = log.lines();
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [](const std::string& line) {
                                return line.find("no thread") != std::string::npos;
                            }),
              2);
}

} // namespace
