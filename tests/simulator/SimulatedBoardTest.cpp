#include "SimulatedBoard.h"

#include "SlaveClient.h"

#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Kind = SimulatedBoard::Event::Kind;

constexpr int patienceMs = 10'000; // only ever reached when something is broken

// Collects the board's events, and lets a test wait for one.
class EventLog {
public:
    SimulatedBoard::Observer observer() {
        return [this](const SimulatedBoard::Event& event) {
            const std::lock_guard lock(mutex_);
            events_.push_back(event);
            changed_.notify_all();
        };
    }

    bool waitFor(Kind kind) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(patienceMs), [&] {
            for (const auto& event : events_) {
                if (event.kind == kind) {
                    return true;
                }
            }
            return false;
        });
    }

    std::vector<SimulatedBoard::Event> events() {
        const std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SimulatedBoard::Event> events_;
};

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

TEST(SimulatedBoard, AnswersEveryFrameWithOneReplyInOneRead) {
    EventLog log;
    SimulatedBoard board(SpeedMode::Steps28, {}, log.observer());
    board.start();
    SlaveClient client(board.slavePath());
    ASSERT_TRUE(client.isOpen());

    // What the cab sends for speed 64, headlight, 128-step speed, idle and reset, in turn.
    const std::vector<Bytes> frames{{0x03, 0x03, 0x78, 0x7B},       {0x03, 0x03, 0x90, 0x93},
                                    {0x04, 0x03, 0x3F, 0x85, 0xB9}, {0x03, 0xFF, 0x00, 0xFF},
                                    {0x03, 0x03, 0x5F, 0x5C},       {0x03, 0x00, 0x00, 0x00}};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        client.send(frames[i]);
        ASSERT_EQ(client.readOnce(), "OK " + std::to_string(i + 1) + "\n");
        if (i == 4) {
            EXPECT_EQ(board.layout().find({3, false}),
                      (LayoutModel::Locomotive{SpeedMode::Steps28, 28, false, 0x01}));
        }
    }
    EXPECT_EQ(board.layout().describe(), "loco 3: stopped (28 steps), forward, functions off\n");
    EXPECT_EQ(board.counters().frames, frames.size());
    board.stop(); // the write count goes up after the write, so it is final only now
    EXPECT_EQ(board.counters().writes, frames.size());

    const auto events = log.events();
    ASSERT_EQ(events.size(), frames.size());
    EXPECT_EQ(events[2].number, 3u);
    EXPECT_EQ(events[2].bytes, frames[2]);
    EXPECT_EQ(events[2].meaning, "loco 3: step 4 of 126, forward");
    EXPECT_EQ(events[2].reply, "OK 3\n");
}

TEST(SimulatedBoard, FramesInPiecesAndBadFramesKeepTheLineInStep) {
    SimulatedBoard board;
    board.start();
    SlaveClient client(board.slavePath());
    client.send({0x04, 0x03});
    client.send({0x3F});
    client.send({0x85, 0xB9});
    EXPECT_EQ(client.readOnce(), "OK 1\n");
    client.send({0x03, 0x03, 0x78, 0x7C});
    EXPECT_EQ(client.readOnce(), "ERR 2 error byte\n");
    client.send({0x07});
    EXPECT_EQ(client.readOnce(), "ERR 3 length\n");
    client.send({0x03, 0x03, 0x78, 0x7B});
    EXPECT_EQ(client.readOnce(), "OK 4\n");

    const SimulatedBoard::Counters counters = board.counters();
    EXPECT_EQ(counters.frames, 2u);
    EXPECT_EQ(counters.badErrorBytes, 1u);
    EXPECT_EQ(counters.badLengths, 1u);
}

// A shell's printf into the slave sets nothing up: the board's own raw settings must keep line
// ends and control characters intact, and must not echo its replies back to itself.
TEST(SimulatedBoard, BytesCrossUnchangedWhenTheWriterSetsNothingUp) {
    SimulatedBoard board;
    board.start();
    {
        SlaveClient shell(board.slavePath(), false);
        shell.send({0x03, 0x0A, 0x0D, 0x07}); // NL and CR
        EXPECT_EQ(shell.readOnce(), "OK 1\n");
    }
    SlaveClient shell(board.slavePath(), false);
    shell.send({0x03, 0x11, 0x13, 0x02}); // XON, XOFF
    EXPECT_EQ(shell.readOnce(), "OK 2\n");
    shell.send({0x03, 0x04, 0x7F, 0x7B}); // DEL
    EXPECT_EQ(shell.readOnce(), "OK 3\n");
    const SimulatedBoard::Counters counters = board.counters();
    EXPECT_EQ(counters.frames, 3u);
    EXPECT_EQ(counters.discardedBytes, 0u) << "the replies came back as input";
}

TEST(SimulatedBoard, KnobsShapeTheDeliveries) {
    SimulatedBoard board;
    board.start();
    SlaveClient client(board.slavePath());
    const Bytes frame{0x03, 0xFF, 0x00, 0xFF};

    BoardKnobs knobs;
    knobs.splitEvery = 1;
    board.setKnobs(knobs);
    client.send(frame);
    EXPECT_EQ(client.readOnce(), "OK");
    EXPECT_EQ(client.readOnce(), " 1\n");

    knobs = {};
    knobs.mergeEvery = 1;
    board.setKnobs(knobs);
    client.send(frame);
    client.send(frame);
    EXPECT_EQ(client.readOnce(), "OK 2\nOK 3\n");

    knobs = {};
    knobs.dropEvery = 4;
    knobs.garbleEvery = 5;
    knobs.replyDelay = 10ms;
    board.setKnobs(knobs);
    client.send(frame);
    client.send(frame);
    EXPECT_EQ(client.readOnce(), "\xFF\xFEOK 5\n") << "the fourth reply is dropped";
}

TEST(SimulatedBoard, HangsUpAfterTheFramesTheKnobSays) {
    EventLog log;
    BoardKnobs knobs;
    knobs.hangUpAfter = 2;
    SimulatedBoard board(SpeedMode::Steps28, knobs, log.observer());
    board.start();
    SlaveClient client(board.slavePath());
    client.send({0x03, 0xFF, 0x00, 0xFF});
    EXPECT_EQ(client.readOnce(), "OK 1\n");
    client.send({0x03, 0xFF, 0x00, 0xFF});
    EXPECT_EQ(client.readOnce(), "OK 2\n");
    EXPECT_TRUE(client.seesHangUp());
    ASSERT_TRUE(log.waitFor(Kind::HungUp));
    EXPECT_TRUE(board.isHungUp());
    struct stat status {};
    EXPECT_NE(stat(board.slavePath().c_str(), &status), 0) << "the slave device is gone";
}

TEST(SimulatedBoard, HangsUpOnRequestWhetherRunningOrNot) {
    SimulatedBoard running;
    running.start();
    SlaveClient client(running.slavePath());
    running.hangUp();
    EXPECT_TRUE(client.seesHangUp());

    SimulatedBoard idle;
    SlaveClient other(idle.slavePath());
    idle.hangUp();
    EXPECT_TRUE(idle.isHungUp());
    EXPECT_TRUE(other.seesHangUp());
    idle.start(); // serves nothing, and still stops cleanly
}

TEST(SimulatedBoard, LeavesNoDescriptorOrThreadBehind) {
    const std::size_t before = openDescriptors();
    {
        SimulatedBoard board;
        board.start();
        board.stop();
        board.start(); // a board may be started again
        SlaveClient client(board.slavePath());
        client.send({0x03, 0xFF, 0x00, 0xFF});
        EXPECT_EQ(client.readOnce(), "OK 1\n");
    } // destroyed while running
    { SimulatedBoard neverStarted; }
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace

// A frame whose rest never comes is dropped once the line has been quiet for the frame time-out,
// and answered, so that it does not swallow the next good frame.
TEST(SimulatedBoard, AnIncompleteFrameIsAnsweredAndDoesNotSwallowTheNext) {
    BoardKnobs knobs;
    knobs.frameTimeout = std::chrono::milliseconds(5);
    SimulatedBoard board(SpeedMode::Steps28, knobs);
    board.start();
    SlaveClient client(board.slavePath());
    client.send({0x03, 0x03});
    EXPECT_EQ(client.readOnce(), "ERR 1 incomplete\n");
    client.send({0x03, 0x03, 0x78, 0x7B});
    EXPECT_EQ(client.readOnce(), "OK 2\n");
    EXPECT_EQ(board.counters().incompleteFrames, 1u);
    EXPECT_EQ(board.layout().find({3, false})->step, 14);
}

// A client that sends the next frame at once, without waiting for the reply to the last frame
// before the hang-up, still gets to read that reply before the line closes.
TEST(SimulatedBoard, TheReplyBeforeAHangUpIsReadableFirst) {
    EventLog log;
    BoardKnobs knobs;
    knobs.hangUpAfter = 1;
    SimulatedBoard board(SpeedMode::Steps28, knobs, log.observer());
    board.start();
    SlaveClient client(board.slavePath());
    client.send({0x03, 0xFF, 0x00, 0xFF, 0x03, 0xFF, 0x00, 0xFF});
    EXPECT_EQ(client.readOnce(), "OK 1\n");
    EXPECT_TRUE(client.seesHangUp());
    ASSERT_TRUE(log.waitFor(Kind::HungUp));
    const auto events = log.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].replyNote, "not answered: the line is hanging up")
        << "the log must not claim a reply that never went";
}
