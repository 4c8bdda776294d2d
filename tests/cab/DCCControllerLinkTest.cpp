#include "BackgroundThreads.h"
#include "DCCController.h"
#include "KESSerialPort.h"
#include "MemoryButton.h"
#include "MemoryTextView.h"
#include "RecordingLog.h"
#include "SimulatedBoard.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

class TestManager : public KESSerialPortManager {};

// What the board reports from its thread, kept for the test to wait on and read.
class BoardWatch {
public:
    void add(const SimulatedBoard::Event& event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
        }
        changed_.notify_all();
    }

    // Waits until the board has taken count frames (and planned their replies).
    bool waitForFrames(std::uint64_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return framesLocked() >= count; });
    }

    std::vector<SimulatedBoard::Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::uint64_t framesLocked() const {
        std::uint64_t frames = 0;
        for (const auto& event : events_) {
            frames += event.kind == SimulatedBoard::Event::Kind::Frame ? 1 : 0;
        }
        return frames;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SimulatedBoard::Event> events_;
};

// The cab with in-memory controls, its port on the simulated board's pseudo-terminal. The test
// runs the main queue by hand, so it decides when each reply reaches the cab and when the reply
// timer fires.
class DCCControllerLink : public testing::Test {
protected:
    void SetUp() override {
        MainQueue::setShared(&queue);
        testing::internal::CaptureStdout(); // the packet core's lines
    }

    void TearDown() override {
        if (cab != nullptr && cab->portIsOpen()) {
            cab->openOrClosePort(nullptr);
            EXPECT_TRUE(queue.runUntil([&] { return !cab->portIsOpen(); }));
        }
        if (port != nullptr) {
            EXPECT_FALSE(port->isOpen());
        }
        cab.reset();
        port.reset();
        EXPECT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
        if (board != nullptr) {
            board->stop();
        }
        const std::string printed = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            std::fputs(printed.c_str(), stdout); // the failures' own lines are among them
        }
        MainQueue::setShared(nullptr);
    }

    void start(const BoardKnobs& knobs = {}) {
        board = std::make_unique<SimulatedBoard>(
            SpeedMode::Steps28, knobs,
            [this](const SimulatedBoard::Event& event) { watch.add(event); });
        board->start();
        cab = std::make_unique<DCCController>(manager);
        cab->setReceivedDataTextView(&view);
        cab->setOpenCloseButton(&button);
        cab->awakeFromNib();
        port = KESSerialPort::serialPortWithKnownPath(board->slavePath(), "board");
        ASSERT_NE(port, nullptr);
        cab->setSerialPort(port);
    }

    void open() {
        cab->openOrClosePort(nullptr);
        ASSERT_TRUE(queue.runUntil([&] { return cab->portIsOpen(); }));
    }

    std::uint64_t framesWritten() const { return cab->dispatcher().framesWritten(); }

    std::size_t acknowledgements() const {
        const std::string text = view.string();
        std::size_t count = 0;
        for (auto at = text.find("ACKNOWLEDGE\n"); at != std::string::npos;
             at = text.find("ACKNOWLEDGE\n", at + 1)) {
            ++count;
        }
        return count;
    }

    std::size_t logLinesWith(const std::string& text) const {
        std::size_t count = 0;
        for (const auto& line : log.lines()) {
            count += line.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    TestMainQueue queue;
    TestDeviceRegistry registry; // lists nothing: the board's terminal is no machine device
    RecordingLog log;
    TestManager manager;
    MemoryTextView view;
    MemoryButton button{"Open"};
    BoardWatch watch;
    std::unique_ptr<SimulatedBoard> board;
    std::unique_ptr<DCCController> cab;
    std::shared_ptr<KESSerialPort> port;
};

// One step of the link: the board answers the newest frame with this many deliveries reaching
// the cab, or the reply timer runs out.
struct Step {
    enum Kind { Answer, Timeout } kind;
    std::size_t deliveries = 0;
};

struct ReplyCase {
    const char* what;
    BoardKnobs knobs; // the board falls silent after the replies the case needs
    const char* firstReplyNote;
    std::vector<Step> steps;
    std::uint64_t frames;
    std::size_t acknowledgements;
    std::size_t stallsLogged;
    std::size_t recoveriesLogged;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
    *out << c.what;
}

BoardKnobs knobs(unsigned split, unsigned merge, unsigned garble, unsigned drop,
                 std::optional<std::uint64_t> silentAfter) {
    BoardKnobs k;
    k.splitEvery = split;
    k.mergeEvery = merge;
    k.garbleEvery = garble;
    k.dropEvery = drop;
    k.silentAfter = silentAfter;
    return k;
}

const ReplyCase replyCases[] = {
    {"a plain reply releases one frame", knobs(0, 0, 0, 0, 1), "", {{Step::Answer, 1}}, 2, 1, 0, 0},
    {"a split reply releases two frames",
     knobs(1, 0, 0, 0, 1),
     "split in two writes",
     {{Step::Answer, 2}},
     3,
     2,
     0,
     0},
    {"two merged replies release one frame",
     knobs(0, 1, 0, 0, 2),
     "held back for the next reply",
     {{Step::Answer, 0}, {Step::Timeout}, {Step::Answer, 1}},
     3,
     1,
     1,
     1},
    {"a garbled reply releases none",
     knobs(0, 0, 1, 0, 1),
     "not UTF-8",
     {{Step::Answer, 1}, {Step::Timeout}},
     2,
     0,
     1,
     0},
    {"dropped replies resume after each timeout, logged once",
     knobs(0, 0, 0, 1, std::nullopt),
     "dropped",
     {{Step::Answer, 0}, {Step::Timeout}, {Step::Answer, 0}, {Step::Timeout}},
     3,
     0,
     1,
     0},
};

class DCCControllerReplies : public DCCControllerLink,
                             public testing::WithParamInterface<ReplyCase> {};

// The speed command's schedule runs to fifteen frames, more than any case lets out, so every
// frame the case counts is one a reply (or the timer) released.
TEST_P(DCCControllerReplies, ReleaseTheFramesTheirShapeAllows) {
    const ReplyCase& c = GetParam();
    start(c.knobs);
    open();
    cab->setLocoSpeed(64);
    ASSERT_EQ(framesWritten(), 1u) << "an idle link writes at once";
    for (const Step& step : c.steps) {
        const std::uint64_t before = framesWritten();
        if (step.kind == Step::Answer) {
            ASSERT_TRUE(watch.waitForFrames(before));
            ASSERT_TRUE(queue.waitForQueued(step.deliveries));
            queue.runPending();
            continue;
        }
        queue.advanceClock(cab->replyTimeout() - 1ms);
        queue.runPending();
        EXPECT_EQ(framesWritten(), before) << "sent before the timeout";
        queue.advanceClock(1ms);
        queue.runPending();
        EXPECT_EQ(framesWritten(), before + 1) << "the timeout sends the next frame";
    }
    ASSERT_TRUE(watch.waitForFrames(c.frames));
    EXPECT_EQ(framesWritten(), c.frames);
    EXPECT_EQ(board->counters().frames, c.frames);
    EXPECT_EQ(board->counters().badErrorBytes + board->counters().badLengths, 0u);
    EXPECT_EQ(watch.events().front().replyNote, c.firstReplyNote);
    EXPECT_EQ(acknowledgements(), c.acknowledgements);
    EXPECT_EQ(logLinesWith("No reply from the command station on board within 1000 ms"),
              c.stallsLogged);
    EXPECT_EQ(logLinesWith("The command station on board answers again"), c.recoveriesLogged);
    EXPECT_EQ(cab->statusText().find("does not answer") != std::string::npos,
              c.stallsLogged > c.recoveriesLogged)
        << cab->statusText();
}

INSTANTIATE_TEST_SUITE_P(Shapes, DCCControllerReplies, testing::ValuesIn(replyCases));

// The operator's presses, in order, and the layout the board holds once each has gone out.
struct Press {
    const char* what;
    void (*press)(DCCController&);
    std::map<LocoAddress, LayoutModel::Locomotive> layout;
};

const LocoAddress three{3, false};
const LocoAddress thousand{1000, true};
using Loco = LayoutModel::Locomotive;

const Press presses[] = {
    {"speed 64 at address 3 in 28 steps, given before the port opened",
     [](DCCController& cab) { cab.setLocoSpeed(64); },
     {{three, Loco{SpeedMode::Steps28, 14, true, 0u, false}}}},
    {"headlight on",
     [](DCCController& cab) { cab.headlight(nullptr); },
     {{three, Loco{SpeedMode::Steps28, 14, true, 1u, false}}}},
    {"emergency stop",
     [](DCCController& cab) { cab.sendEmergencyStop(nullptr); },
     {{three, Loco{SpeedMode::Steps28, 0, true, 1u, true}}}},
    {"long address 1000, 128 steps, reverse, speed 100",
     [](DCCController& cab) {
         ASSERT_TRUE(cab.setLocoAddress(1000));
         cab.setSpeedMode(2);
         cab.sendDirectionChange(nullptr);
         cab.setLocoSpeed(100);
     },
     {{three, Loco{SpeedMode::Steps28, 0, true, 1u, true}},
      {thousand, Loco{SpeedMode::Steps128, 100, false, 0u, false}}}},
    {"broadcast stop",
     [](DCCController& cab) { cab.sendBroadcastEmergencyStop(nullptr); },
     {{three, Loco{SpeedMode::Steps28, 0, true, 1u, true}},
      {thousand, Loco{SpeedMode::Steps28, 0, false, 0u, true}}}},
};

TEST_F(DCCControllerLink, TheBoardsLayoutEndsWhereTheButtonsPutIt) {
    start();
    // Every frame written has reached the board, been answered, and its reply has reached the
    // cab: only then is the next press given, so that one frame at a time is ever unanswered.
    std::uint64_t lost = 0; // frames written while the port was closed
    auto settled = [&] {
        const SimulatedBoard::Counters counters = board->counters();
        return cab->dispatcher().empty() && counters.frames + lost == framesWritten() &&
               counters.writes == counters.frames && acknowledgements() == counters.writes;
    };
    for (const Press& press : presses) {
        SCOPED_TRACE(press.what);
        press.press(*cab);
        if (!cab->portIsOpen()) {
            lost = framesWritten();
            ASSERT_EQ(lost, 1u);
            EXPECT_EQ(board->counters().frames, 0u);
            open();
            EXPECT_TRUE(watch.waitForFrames(1))
                << "the opening sends the next frame, without waiting for the timer";
        }
        ASSERT_TRUE(queue.runUntil(settled));
        EXPECT_EQ(board->layout().locomotives(), press.layout) << board->layout().describe();
    }
    EXPECT_EQ(board->counters().badErrorBytes + board->counters().badLengths, 0u);
    EXPECT_EQ(logLinesWith("No reply"), 0u);
}

} // namespace
