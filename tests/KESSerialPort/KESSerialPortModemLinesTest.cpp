#include "KESSerialPort.h"
#include "PortFixture.h"
#include "TestModemLines.h"

#include <cerrno>
#include <chrono>
#include <sys/ioctl.h>
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

TEST_F(KESSerialPortModemLines, AFailingPollIsReportedAtEveryRunAndTheOpeningGoesOn) {
    lines.failReads(EIO);
    port->open(); // the read at open fails too: reported, and the outputs settle as if both low
    runUntil([&] { return delegate.errors.size() >= 3; });
    for (const PosixError& error : delegate.errors) {
        EXPECT_EQ(error.code(), EIO);
    }
    EXPECT_TRUE(port->isOpen());
    lines.failReads(0);
}

} // namespace
