#include "KESSerialPort.h"

#include "KESSerialPortErrorKind.h"
#include "PortFixture.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

termios attributesOf(int descriptor) {
    termios attributes{};
    EXPECT_EQ(::tcgetattr(descriptor, &attributes), 0);
    return attributes;
}

std::size_t entriesIn(const char* directory) {
    std::size_t count = 0;
    if (DIR* dir = ::opendir(directory)) {
        while (dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(dir);
    }
    return count;
}

// A joined thread can stay listed by the kernel for a moment while it finishes exiting, so the
// count is read until it comes back to where it was, within a limit only a leak reaches.
bool threadCountComesBackTo(std::size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (entriesIn("/proc/self/task") != expected) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class KESSerialPortOpenClose : public PortFixture {
protected:
    // Every delivery so far, joined.
    std::string receivedText() const {
        std::string text;
        for (const Bytes& chunk : delegate.deliveries) {
            text.append(chunk.begin(), chunk.end());
        }
        return text;
    }
};

TEST_F(KESSerialPortOpenClose, OpenAppliesRawSettingsAndCloseRestoresTheDevice) {
    termios cooked = attributesOf(pty.slave());
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &cooked), 0);

    port->open();
    ASSERT_TRUE(port->isOpen());
    const termios raw = attributesOf(pty.slave());
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(raw.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(raw.c_cflag & (CLOCAL | CREAD | HUPCL),
              static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(raw.c_cc[VMIN], 1);
    EXPECT_EQ(raw.c_cc[VTIME], 2);
    EXPECT_EQ(::cfgetospeed(&raw), static_cast<speed_t>(B38400));

    EXPECT_TRUE(port->close());
    EXPECT_FALSE(port->isOpen());
    const termios restored = attributesOf(pty.slave());
    EXPECT_EQ(restored.c_lflag & (ICANON | ECHO | ISIG),
              static_cast<tcflag_t>(ICANON | ECHO | ISIG));
}

TEST_F(KESSerialPortOpenClose, CallbacksComeInOrderAndRepeatsAreHarmless) {
    port->open();
    EXPECT_TRUE(delegate.events.empty()) << "opened is queued, never called from within open";
    port->open(); // already open: nothing
    queue.drain();
    EXPECT_THAT(delegate.events, ElementsAre("opened"));
    EXPECT_EQ(BackgroundThreads::shared().running(), 1u) << "one read loop, and no line poll on "
                                                            "a device without modem lines";
    EXPECT_EQ(port->pinPollTimer(), nullptr);

    EXPECT_TRUE(port->close());
    EXPECT_TRUE(port->close()); // closed: true, and nobody is called
    port->cleanup();
    queue.drain();
    EXPECT_THAT(delegate.events, ElementsAre("opened", "closed", "removed"));
    EXPECT_TRUE(delegate.allOnMainThread);
    EXPECT_TRUE(delegate.errors.empty()) << "a missing modem line is not an error";
}

TEST_F(KESSerialPortOpenClose, AHeldDeviceFailsAtOnceWithWouldBlock) {
    const int holder = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    port->open();
    EXPECT_FALSE(port->isOpen());
    queue.drain();
    ASSERT_THAT(delegate.events, ElementsAre("error"));
    const PosixError& error = delegate.errors.front();
    EXPECT_EQ(error.code(), EWOULDBLOCK);
    EXPECT_EQ(error.domain(), PosixError::posixDomain);
    EXPECT_EQ(error.filePath(), pty.slavePath());
    EXPECT_EQ(error.localizedDescription(), std::string(std::strerror(EWOULDBLOCK)));
    EXPECT_EQ(BackgroundThreads::shared().running(), 0u);
    EXPECT_THAT(log.lines(), ElementsAre(AllOf(HasSubstr(pty.slavePath()),
                                               HasSubstr("in use by another program"),
                                               HasSubstr(std::strerror(EWOULDBLOCK)),
                                               HasSubstr(std::to_string(EWOULDBLOCK)))));
    ::close(holder);

    port->open(); // free again
    EXPECT_TRUE(port->isOpen());
}

TEST_F(KESSerialPortOpenClose, AMissingDeviceIsReportedWithItsPath) {
    port->setPath("/dev/no-such-serial-device");
    port->open();
    queue.drain();
    ASSERT_EQ(delegate.errors.size(), 1u);
    EXPECT_EQ(delegate.errors[0].code(), ENOENT);
    EXPECT_EQ(delegate.errors[0].filePath(), "/dev/no-such-serial-device");
}

TEST_F(KESSerialPortOpenClose, ReceivedBytesReachTheDelegateOnTheMainThreadInOrder) {
    port->open();
    queue.drain();
    EXPECT_EQ(delegate.count("data"), 0u) << "nothing arrives while the line is quiet";

    std::string sent;
    for (char c = 'a'; c <= 'z'; ++c) {
        pty.write(bytes(std::string(3, c)));
        sent += std::string(3, c);
    }
    runUntil([&] { return receivedText().size() >= sent.size(); });
    EXPECT_EQ(receivedText(), sent);
    EXPECT_TRUE(delegate.allOnMainThread);
    EXPECT_EQ(delegate.events.front(), "opened") << "opened comes before any data";
}

// A line that sends faster than the main thread takes it is held back in the kernel, not piled
// up on the main queue; once the main thread catches up every byte arrives, in order.
TEST_F(KESSerialPortOpenClose, AFloodWaitsInTheLineWhileTheMainThreadIsBehindAndLosesNothing) {
    port->open();
    queue.drain();
    ASSERT_EQ(::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK), 0);
    constexpr std::size_t most = 4 << 20;
    std::string sent;
    // The main thread runs nothing meanwhile: the line fills once the read loop stops taking.
    for (std::size_t line = 0; sent.size() < most;) {
        pollfd writable{pty.master(), POLLOUT, 0};
        if (::poll(&writable, 1, 500) <= 0) {
            break;
        }
        const std::string text = std::to_string(line) + " of the flood\n";
        const ssize_t written = ::write(pty.master(), text.data(), text.size());
        if (written > 0) {
            sent.append(text, 0, static_cast<std::size_t>(written));
            line += static_cast<std::size_t>(written) == text.size();
        }
    }
    EXPECT_LT(sent.size(), most / 8) << "the read loop queued the whole flood";
    EXPECT_LE(queue.runPending(), 16u) << "deliveries waiting at once";
    runUntil([&] { return receivedText().size() >= sent.size(); });
    EXPECT_EQ(receivedText(), sent);
}

TEST_F(KESSerialPortOpenClose, SendDataWritesKeptBytesFirstAndDropsOnAClosedPort) {
    EXPECT_FALSE(port->sendData(bytes("lost")));
    EXPECT_TRUE(port->writeBuffer().empty()) << "a closed port keeps nothing";

    port->open();
    EXPECT_TRUE(port->sendData({}));
    EXPECT_TRUE(pty.readAvailable().empty());

    port->setWriteBuffer(bytes("kept-")); // as a short write would leave it
    EXPECT_TRUE(port->sendData(bytes("new")));
    EXPECT_EQ(pty.read(8), bytes("kept-new"));
    EXPECT_TRUE(port->writeBuffer().empty());
}

TEST_F(KESSerialPortOpenClose, HangUpIsReportedOnceAndClosesThePortWithoutSpinning) {
    port->open();
    queue.drain();
    timespec before{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);

    pty.closeMaster();
    runUntil([&] { return delegate.count("closed") == 1; });
    waitForThreads(0); // the read loop has ended

    EXPECT_FALSE(port->isOpen());
    EXPECT_THAT(delegate.events, ElementsAre("opened", "error", "closed"));
    EXPECT_EQ(delegate.errors[0].code(), EIO);
    EXPECT_FALSE(port->sendData(bytes("x")));
    EXPECT_THAT(log.lines(), testing::Contains(testing::HasSubstr(
                                 "stopped reading (the device has gone): Input/output error")));

    // A loop that spun on the dead descriptor would have burned the CPU for as long as the test
    // waited; a second of processor time is far beyond anything the orderly path uses.
    timespec after{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    EXPECT_LT(after.tv_sec - before.tv_sec, 1);
}

TEST_F(KESSerialPortOpenClose, AFailedWriteReportsAndKeepsEveryByte) {
    port->open();
    queue.drain();
    pty.closeMaster(); // writes to the slave now fail with EIO
    EXPECT_FALSE(port->sendData(bytes("abc")));
    EXPECT_EQ(port->writeBuffer(), bytes("abc"));
    ASSERT_GE(delegate.errors.size(), 1u);
    EXPECT_EQ(delegate.errors[0].code(), EIO);
    runUntil([&] { return !port->isOpen(); });
}

TEST_F(KESSerialPortOpenClose, FlowControlChangeReopensWithTheNewSetting) {
    port->open();
    queue.drain();
    port->setWriteBuffer(bytes("pending"));

    port->setUsesRTSCTSFlowControl(true);
    EXPECT_TRUE(port->isOpen());
    EXPECT_TRUE(port->writeBuffer().empty()) << "the close discards unwritten bytes";
    EXPECT_NE(attributesOf(pty.slave()).c_cflag & CRTSCTS, 0u);
    queue.drain();
    EXPECT_THAT(delegate.events, ElementsAre("opened", "closed", "opened"));

    port->setUsesRTSCTSFlowControl(true); // unchanged: no close, no reopen
    queue.drain();
    EXPECT_EQ(delegate.events.size(), 3u);

    // Only the new opening's read loop is left to serve the device.
    waitForThreads(1);
    pty.write(bytes("after"));
    runUntil([&] { return delegate.count("data") > 0; });
    EXPECT_EQ(delegate.deliveries.front(), bytes("after"));
}

TEST_F(KESSerialPortOpenClose, CloseThenOpenAtOnceLeavesNoOldLoopOnTheNewDescriptor) {
    for (int round = 0; round < 20; ++round) {
        port->open();
        ASSERT_TRUE(port->close());
    }
    port->open();
    waitForThreads(1);
    const std::string text = "0123456789";
    pty.write(bytes(text));
    runUntil([&] { return receivedText().size() >= text.size(); });
    EXPECT_EQ(receivedText(), text);
}

TEST_F(KESSerialPortOpenClose, DescriptorZeroCountsAsFailedAndIsNotKept) {
    const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(savedStdin, 0);
    ::close(0);
    port->open();
    const bool zeroStillOpen = ::fcntl(0, F_GETFD) != -1;
    ::dup2(savedStdin, 0);
    ::close(savedStdin);

    EXPECT_FALSE(port->isOpen());
    EXPECT_FALSE(zeroStillOpen) << "the descriptor was leaked";
    queue.drain();
    ASSERT_EQ(delegate.errors.size(), 1u);
    EXPECT_EQ(delegate.errors[0].code(), EBADF);
}

TEST_F(KESSerialPortOpenClose, ThousandOpenCloseCyclesLeaveNoDescriptorOrThreadBehind) {
    // One cycle first: a sanitizer runtime starts a helper thread of its own at the first thread.
    port->open();
    port->close();
    queue.drain();
    EXPECT_TRUE(delegate.events == std::vector<std::string>{"closed"})
        << "an opening that closed in the same turn is never announced as opened";
    waitForThreads(0);
    const std::size_t descriptors = entriesIn("/proc/self/fd");
    const std::size_t threads = entriesIn("/proc/self/task");
    std::size_t mostRunning = 0;
    // The main loop does not run in between: close itself joins the loops that have ended.
    for (int cycle = 0; cycle < 1000; ++cycle) {
        port->open();
        ASSERT_TRUE(port->isOpen()) << "cycle " << cycle;
        ASSERT_TRUE(port->close());
        mostRunning = std::max(mostRunning, BackgroundThreads::shared().running());
    }
    EXPECT_LT(mostRunning, 50u) << "ended read loops piled up";
    queue.drain();
    waitForThreads(0);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
    EXPECT_TRUE(threadCountComesBackTo(threads))
        << entriesIn("/proc/self/task") << " threads, " << threads << " before";
    EXPECT_EQ(delegate.count("opened"), 0u);
    EXPECT_EQ(delegate.count("closed"), 1001u);
    EXPECT_TRUE(delegate.errors.empty());
}

TEST_F(KESSerialPortOpenClose, EverySetterIsAnnouncedAndIsOpenFollowsTheDescriptor) {
    std::vector<std::string> heard;
    std::vector<Subscription> observing;
    for (const char* key : {"isOpen", "fileDescriptor", "baudRate", "RTS"}) {
        observing.push_back(
            port->addObserver(key, [&heard](std::string_view k) { heard.emplace_back(k); }));
    }
    port->setBaudRate(38400); // same value: announced all the same
    port->setRTS(false);
    port->open();
    // Opening settles the output lines: RTS takes the line's state, then the wanted one.
    EXPECT_THAT(heard, ElementsAre("baudRate", "RTS", "fileDescriptor", "isOpen", "RTS", "RTS"));
    heard.clear();
    port->close();
    EXPECT_THAT(heard, ElementsAre("fileDescriptor", "isOpen"));
}

TEST(KESSerialPortErrorKind, ErrnoValuesSortIntoWhatTheyMeanToTheUser) {
    using Kind = KESSerialPortErrorKind;
    const std::pair<int, Kind> cases[] = {
        {EIO, Kind::deviceGone},
        {ENXIO, Kind::deviceGone},
        {ENODEV, Kind::deviceGone},
        {EWOULDBLOCK, Kind::inUse},
        {EBUSY, Kind::inUse},
        {EACCES, Kind::noPermission},
        {EPERM, Kind::noPermission},
        {ENOENT, Kind::noSuchDevice},
        {ENOTTY, Kind::notATerminal},
        {EINVAL, Kind::other},
        {0, Kind::other},
    };
    for (const auto& [code, kind] : cases) {
        EXPECT_EQ(classifySerialError(code), kind) << std::strerror(code);
    }
    EXPECT_EQ(describeSerialErrorKind(Kind::inUse), "in use by another program");
}

TEST_F(KESSerialPortOpenClose, NoPublicSetterPutsThePortIntoAStateThatBreaksIt) {
    port->setFileDescriptor(5); // closed: refused, with a log line
    EXPECT_FALSE(port->isOpen());
    EXPECT_TRUE(port->close());
    port->open();
    const int descriptor = port->fileDescriptor();
    port->setFileDescriptor(0); // open: refused as well
    port->setPinPollTimer(nullptr);
    EXPECT_EQ(port->fileDescriptor(), descriptor);
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(port->close());
    EXPECT_EQ(::fcntl(descriptor, F_GETFD), -1) << "the descriptor was not closed";
}

TEST_F(KESSerialPortOpenClose, CloseNeverWaitsForBytesAnotherReaderTook) {
    // The pair's own slave descriptor is a second reader of the device. When it takes a byte
    // that the read loop's wait has already seen, the loop's read finds nothing there.
    const int other = pty.slave();
    const int flags = ::fcntl(other, F_GETFL);
    ASSERT_EQ(::fcntl(other, F_SETFL, flags | O_NONBLOCK), 0);
    for (int round = 0; round < 200; ++round) {
        port->open();
        ASSERT_TRUE(port->isOpen());
        const std::size_t delivered = delegate.deliveries.size();
        pty.write(bytes("x"));
        std::uint8_t byte = 0;
        runUntil(
            [&] { return ::read(other, &byte, 1) == 1 || delegate.deliveries.size() > delivered; });
        ASSERT_TRUE(port->close()); // would wait here for a byte that never comes
    }
    ::fcntl(other, F_SETFL, flags);
}

TEST_F(KESSerialPortOpenClose, NothingOfAnOldOpeningArrivesAfterItClosed) {
    port->open();
    queue.drain();
    pty.write(bytes("old"));
    ASSERT_TRUE(queue.waitForQueued(1)); // read, and queued for delivery
    ASSERT_TRUE(port->close());
    port->open();
    pty.write(bytes("new"));
    runUntil([&] { return receivedText().size() >= 3; });
    queue.drain();
    EXPECT_EQ(receivedText(), "new");
    ASSERT_GE(delegate.events.size(), 4u);
    EXPECT_EQ(std::vector(delegate.events.begin(), delegate.events.begin() + 3),
              (std::vector<std::string>{"opened", "closed", "opened"}));
}

TEST_F(KESSerialPortOpenClose, ADelegateGoneWithCallbacksQueuedHearsNothingMore) {
    // As a window's controller is: it lets go of the port when it goes.
    struct LeavingDelegate : RecordingDelegate {
        explicit LeavingDelegate(KESSerialPort& port) : port(port) { port.setDelegate(this); }
        ~LeavingDelegate() { port.setDelegate(nullptr); }
        KESSerialPort& port;
    };
    auto leaving = std::make_unique<LeavingDelegate>(*port);
    port->open();
    pty.write(bytes("queued"));
    ASSERT_TRUE(queue.waitForQueued(2)); // opened, then the data
    leaving.reset();
    queue.drain(); // the sanitizer build catches any call on the destroyed delegate
    EXPECT_TRUE(delegate.events.empty());
    EXPECT_TRUE(port->isOpen());
}

TEST_F(KESSerialPortOpenClose, AFullDriverKeepsTheRestForTheNextCallWithoutBlocking) {
    port->open();
    queue.drain();
    Bytes sent;
    std::uint8_t counter = 0;
    auto chunk = [&] {
        Bytes data(1000);
        for (std::uint8_t& byte : data) {
            byte = counter++;
        }
        sent.insert(sent.end(), data.begin(), data.end());
        return data;
    };
    // The far end reads nothing, so the driver fills up; each call still returns at once.
    auto fillDriver = [&] {
        for (int calls = 0; port->writeBuffer().empty(); ++calls) {
            ASSERT_LT(calls, 10000) << "the driver never filled";
            ASSERT_TRUE(port->sendData(chunk()));
        }
    };
    fillDriver();
    ASSERT_FALSE(::testing::Test::HasFatalFailure());

    // Once the far end reads, the kept bytes go out ahead of the next call's.
    Bytes received = pty.readAvailable();
    ASSERT_TRUE(port->sendData(chunk()));
    runUntil([&] {
        const Bytes more = pty.readAvailable();
        received.insert(received.end(), more.begin(), more.end());
        if (!port->writeBuffer().empty()) {
            port->sendData({});
        }
        return received.size() >= sent.size();
    });
    EXPECT_TRUE(received == sent) << received.size() << " bytes of " << sent.size();
    EXPECT_TRUE(delegate.errors.empty());

    fillDriver();
    EXPECT_TRUE(port->close()) << "close waits for no far end";
}

TEST_F(KESSerialPortOpenClose, AnIsOpenObserverMayReopenThePortAtOnce) {
    port->open();
    bool reopened = false;
    Subscription reopening = port->addObserver("isOpen", [&](std::string_view) {
        if (!port->isOpen() && !reopened) {
            reopened = true;
            port->open(); // the device must already be free
        }
    });
    ASSERT_TRUE(port->close());
    EXPECT_TRUE(reopened);
    EXPECT_TRUE(port->isOpen());
    pty.write(bytes("again"));
    runUntil([&] { return receivedText() == "again"; });
    EXPECT_TRUE(delegate.errors.empty()) << delegate.errors.front().localizedDescription();
    reopening.cancel();
}

TEST_F(KESSerialPortOpenClose, TheLastReferenceMayGoInsideACallback) {
    struct Case {
        const char* where;
        bool fromObserver; // else from serialPortWasClosed
        std::function<void(KESSerialPort&)> call;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"an isOpen observer, during close", true, [](KESSerialPort& p) { p.close(); }, {"closed"}},
        {"serialPortWasClosed, during cleanup",
         false,
         [](KESSerialPort& p) { p.cleanup(); },
         {"closed", "removed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        if (port == nullptr) {
            port = KESSerialPort::serialPortWithPath(pty.slavePath());
            port->setDelegate(&delegate);
        }
        delegate.events.clear();
        port->open();
        queue.drain();
        delegate.events.clear();
        std::weak_ptr<KESSerialPort> weak = port;
        bool aliveInside = false;
        auto dropLastReference = [&] {
            if (port == nullptr) {
                return;
            }
            port.reset();
            // The ended read loop holds the port until it is joined: join it here, so the
            // reference just dropped was the last one but the running call's.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (BackgroundThreads::shared().running() > 0 &&
                   std::chrono::steady_clock::now() < deadline) {
                BackgroundThreads::shared().reapFinished();
                std::this_thread::yield();
            }
            aliveInside = !weak.expired();
        };
        KESSerialPort& raw = *port;
        Subscription dropping; // outlives the port it observes, harmlessly
        if (c.fromObserver) {
            dropping = raw.addObserver("isOpen", [&](std::string_view) { dropLastReference(); });
        } else {
            delegate.onClosed = dropLastReference;
        }
        c.call(raw);
        delegate.onClosed = nullptr;
        EXPECT_TRUE(aliveInside) << "the port died under the running call";
        EXPECT_TRUE(weak.expired()) << "and is gone once the call returned";
        EXPECT_EQ(delegate.events, c.events);
    }
}

} // namespace
