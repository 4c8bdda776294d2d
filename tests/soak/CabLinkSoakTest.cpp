// The cab against the simulated board over a real pseudo-terminal for a long run of random
// commands: every frame the dispatcher writes reaches the board once, whole and in order, and is
// the frame an independent model of the sending schedule says must come next. Then the same run,
// shorter, with each of the board's misbehaviours switched on.

#include "BackgroundThreads.h"
#include "DCCController.h"
#include "DCCMessage.h"
#include "KESSerialPort.h"
#include "KESSerialPortDelegate.h"
#include "MemoryTextView.h"
#include "RecordingLog.h"
#include "SimulatedBoard.h"
#include "SoakSize.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

class TestManager : public KESSerialPortManager {};

// An independent model of the dispatcher's schedule: two rings with a cursor, queue 0 served up
// to four packets a turn and queue 1 one, each record four times per queue (queue 0 then hands
// it to queue 1), never the same record twice running (the other queue, or the idle packet, goes
// between), stop-and-wait. Records are numbers the test gives them; idlePacket is the
// dispatcher's own.
class ScheduleModel {
public:
    static constexpr int idlePacket = -1;

    void add(int record, int priority) {
        remove(record);
        link(record, priority);
        if (idle_) {
            next();
        }
    }

    void remove(int record) {
        const auto found = queueOf_.find(record);
        const int where = found == queueOf_.end() ? -1 : found->second;
        if (where < 0) {
            return;
        }
        Ring& ring = rings_[static_cast<std::size_t>(where)];
        const auto at = std::find(ring.records.begin(), ring.records.end(), record);
        const auto position = at - ring.records.begin();
        ring.records.erase(at);
        // The successor becomes the cursor.
        ring.cursor = ring.records.empty()
                          ? -1
                          : static_cast<int>(position % static_cast<long>(ring.records.size()));
        queueOf_[record] = -1;
    }

    // Takes record out if it has been written since it was queued (it has fewer than four
    // repeats to go).
    void removeIfWritten(int record) {
        const auto found = queueOf_.find(record);
        if (found != queueOf_.end() && found->second >= 0 && repeatsLeft_[record] < 4) {
            remove(record);
        }
    }

    // One reply from the board.
    void reply() {
        if (!idle_) {
            next();
        }
    }

    bool idle() const { return idle_; }
    // What the model has written and the test has not yet taken.
    std::deque<int>& written() { return written_; }

private:
    struct Ring {
        std::vector<int> records; // in service order
        int cursor = -1;          // index into records; -1 exactly when empty
    };

    void link(int record, int priority) {
        Ring& ring = rings_[static_cast<std::size_t>(priority)];
        ring.records.insert(ring.records.begin() + (ring.cursor + 1), record);
        ++ring.cursor;
        queueOf_[record] = priority;
        repeatsLeft_[record] = 4;
    }

    bool empty(int queue) const { return rings_[static_cast<std::size_t>(queue)].cursor < 0; }

    void next() {
        if (empty(0) && empty(1)) {
            idle_ = true;
            return;
        }
        for (;;) {
            Ring& ring = rings_[static_cast<std::size_t>(turn_)];
            if (turnLeft_ > 0 && ring.cursor >= 0) {
                ring.cursor = (ring.cursor + 1) % static_cast<int>(ring.records.size());
                const int record = ring.records[static_cast<std::size_t>(ring.cursor)];
                if (record != last_) {
                    send(record);
                    return;
                }
                if (empty(0) || empty(1)) {
                    written_.push_back(idlePacket);
                    last_ = idlePacket;
                    idle_ = false;
                    return;
                }
            }
            turn_ = 1 - turn_;
            turnLeft_ = turn_ == 0 ? 4 : 1;
        }
    }

    void send(int record) {
        last_ = record;
        written_.push_back(record);
        --turnLeft_;
        idle_ = false;
        if (--repeatsLeft_[record] > 0) {
            return;
        }
        const int from = turn_;
        remove(record);
        if (from == 0) {
            link(record, 1);
        } else if (empty(0) && empty(1)) {
            idle_ = true; // at once: a record added now is written before this frame's reply
        }
    }

    std::array<Ring, 2> rings_;
    std::map<int, int> queueOf_;
    std::map<int, int> repeatsLeft_;
    int turn_ = 0;
    int turnLeft_ = 4;
    int last_ = -2; // nothing yet
    bool idle_ = true;
    std::deque<int> written_;
};

// What the board reports from its thread, kept for the main thread to take in order.
class BoardWatch {
public:
    void add(const SimulatedBoard::Event& event) {
        std::lock_guard lock(mutex_);
        if (event.kind == SimulatedBoard::Event::Kind::WriteFailed) {
            return;
        }
        if (event.kind == SimulatedBoard::Event::Kind::HungUp) {
            hungUp_ = true;
        } else {
            frames_.push_back(event.bytes);
            ++received_;
            lastNote_ = event.replyNote;
        }
        // Wakes a main thread waiting on the board's state: a reply that never comes queues
        // nothing there itself, and the cab can see the line close before the board reports it.
        if (nudge_) {
            nudge_->async([] {});
        }
    }

    void nudge(MainQueue::Handle queue) {
        std::lock_guard lock(mutex_);
        nudge_ = std::move(queue);
    }

    // Frames (good or bad) the board has received so far, and what it did to the last reply.
    std::uint64_t received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::string lastNote() const {
        std::lock_guard lock(mutex_);
        return lastNote_;
    }
    bool hungUp() const {
        std::lock_guard lock(mutex_);
        return hungUp_;
    }
    std::deque<Bytes> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(frames_, {});
    }

private:
    mutable std::mutex mutex_;
    std::deque<Bytes> frames_;
    std::uint64_t received_ = 0;
    std::string lastNote_;
    bool hungUp_ = false;
    std::optional<MainQueue::Handle> nudge_;
};

// The port's delegate in front of the cab: counts the bytes of every delivery, then hands each
// callback on. Main thread only, like the port's callbacks; the cab must outlive its use.
class DeliveryCount : public KESSerialPortDelegate {
public:
    void forwardTo(KESSerialPortDelegate* cab) { cab_ = cab; }
    // Bytes delivered to the cab so far.
    std::uint64_t bytes() const { return bytes_; }

    void serialPortDidReceiveData(KESSerialPort& port, const Bytes& data) override {
        bytes_ += data.size();
        cab_->serialPortDidReceiveData(port, data);
    }
    void serialPortWasRemovedFromSystem(KESSerialPort& port) override {
        cab_->serialPortWasRemovedFromSystem(port);
    }
    void serialPortDidEncounterError(KESSerialPort& port, const PosixError& error) override {
        cab_->serialPortDidEncounterError(port, error);
    }
    void serialPortWasOpened(KESSerialPort& port) override { cab_->serialPortWasOpened(port); }
    void serialPortWasClosed(KESSerialPort& port) override { cab_->serialPortWasClosed(port); }

private:
    KESSerialPortDelegate* cab_ = nullptr;
    std::uint64_t bytes_ = 0;
};

// Standard output is the packet core's: lines for every frame, far too many for a soak to keep.
class StdoutMuted {
public:
    StdoutMuted() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~StdoutMuted() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    StdoutMuted(const StdoutMuted&) = delete;
    StdoutMuted& operator=(const StdoutMuted&) = delete;

private:
    int saved_ = -1;
};

// Failures go to standard error as well, which stays open while standard output is muted.
class FailuresToStderr : public testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult& result) override {
        if (result.failed()) {
            std::fprintf(stderr, "%s:%d: %s\n", result.file_name() ? result.file_name() : "?",
                         result.line_number(), result.message());
        }
    }
};

const bool failuresToStderr = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStderr);
    return true;
}();

// The received-data view, which also takes each frame the dispatcher writes as it is written:
// the record (its last message; the idle packet's line comes before the dispatcher notes it) and
// its bytes then, since a record's bytes change with the next command.
class CapturingView : public MemoryTextView {
public:
    struct Line {
        bool acknowledge = false;
        std::string name;
        const DCCMessage* record = nullptr; // null for the idle packet
        Bytes frame;
    };

    explicit CapturingView(const std::unique_ptr<DCCController>& cab) : cab_(cab) {}

    void appendString(std::string_view text) override {
        static constexpr std::string_view sending = "SENDING MESSAGE  ";
        if (text == "ACKNOWLEDGE\n") {
            lines_.push_back({true, {}, nullptr, {}});
        } else if (text.substr(0, sending.size()) == sending && text.back() == '\t') {
            Line line;
            line.name = std::string(text.substr(sending.size(), text.size() - sending.size() - 1));
            const DCCDispatcher& dispatcher = cab_->dispatcher();
            line.record = line.name == "IDLE" ? nullptr : dispatcher.lastMessage();
            line.frame = DCCDispatcher::frameOf(line.record == nullptr ? *dispatcher.idleMessage()
                                                                       : *line.record);
            lines_.push_back(std::move(line));
        }
        MemoryTextView::appendString(text);
    }

    std::deque<Line> take() { return std::exchange(lines_, {}); }

private:
    const std::unique_ptr<DCCController>& cab_;
    std::deque<Line> lines_;
};

class CabLinkSoak : public testing::Test {
protected:
    void SetUp() override { MainQueue::setShared(&queue); }

    void TearDown() override {
        if (cab != nullptr && cab->portIsOpen()) {
            cab->openOrClosePort(nullptr);
            EXPECT_TRUE(queue.runUntil([&] { return !cab->portIsOpen(); }));
        }
        if (port != nullptr) {
            port->setDelegate(nullptr);
        }
        cab.reset();
        port.reset();
        EXPECT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
        board.reset();
        MainQueue::setShared(nullptr);
    }

    void start(const BoardKnobs& knobs = {}) {
        watch.nudge(queue.handle());
        board = std::make_unique<SimulatedBoard>(
            SpeedMode::Steps28, knobs,
            [this](const SimulatedBoard::Event& event) { watch.add(event); });
        board->start();
        cab = std::make_unique<DCCController>(manager);
        cab->setReceivedDataTextView(&view);
        cab->awakeFromNib();
        view.clear(); // the catalogue's INIT lines
        view.take();
        port = KESSerialPort::serialPortWithKnownPath(board->slavePath(), "board");
        ASSERT_NE(port, nullptr);
        cab->setSerialPort(port);
        deliveries.forwardTo(cab.get());
        port->setDelegate(&deliveries);
        cab->openOrClosePort(nullptr);
        ASSERT_TRUE(queue.runUntil([&] { return cab->portIsOpen(); }));
    }

    std::uint64_t framesWritten() const { return cab->dispatcher().framesWritten(); }

    // The model's number for record, given on first sight; idlePacket for none.
    int numberOf(const DCCMessage* record) {
        if (record == nullptr) {
            return ScheduleModel::idlePacket;
        }
        return numbers.try_emplace(record, static_cast<int>(numbers.size())).first->second;
    }

    // Takes what the cab showed since last time, in order: every frame the dispatcher wrote and
    // every reply it took. With a model, each reply steps it and each frame must be the record
    // the model writes next.
    void takeDisplay(ScheduleModel* model) {
        view.clear();
        for (CapturingView::Line& line : view.take()) {
            if (line.acknowledge) {
                if (model != nullptr) {
                    model->reply();
                }
                ++acknowledgements;
                ++releases;
                continue;
            }
            if (model != nullptr) {
                ASSERT_FALSE(model->written().empty())
                    << "the dispatcher wrote " << line.name << " where the model writes nothing";
                const int expected = model->written().front();
                model->written().pop_front();
                // The catalogue's "IDLE" and the dispatcher's own read alike on the display,
                // and are the same bytes.
                const bool idle =
                    line.name == "IDLE" &&
                    expected == numberOf(cab->catalogueMessage(DCCController::idleIndex));
                ASSERT_EQ(idle ? expected : numberOf(line.record), expected)
                    << "frame " << dispatched << ": " << line.name;
            }
            written.push_back(std::move(line.frame));
            writtenBy.push_back(releases);
            ++dispatched;
        }
        if (model != nullptr) {
            ASSERT_TRUE(model->written().empty())
                << "the model writes a frame the dispatcher did not";
        }
    }

    // Matches the frames the board received with those written, as far as both go.
    void matchBoard() {
        for (Bytes& frame : watch.take()) {
            received.push_back(std::move(frame));
        }
        while (!written.empty() && !received.empty()) {
            ASSERT_EQ(received.front(), written.front()) << "frame " << matched;
            received.pop_front();
            written.pop_front();
            writtenBy.pop_front();
            ++matched;
        }
    }

    // A random command of the operator's, given to the cab and, as its documented hand-overs,
    // to the model.
    void command(std::mt19937_64& random, ScheduleModel* model) {
        auto add = [&](const DCCMessage* record, int priority) {
            if (model != nullptr) {
                model->add(numberOf(record), priority);
            }
        };
        auto catalogue = [&](std::size_t index) { return cab->catalogueMessage(index); };
        auto own = [&] { return cab->shownLocomotive().records(); };
        // The stops take the waiting packets of the locomotives they stop out of the queues.
        auto withdraw = [&](bool everyLocomotive, bool functions) {
            for (const auto& loco : cab->locomotives()) {
                if (model == nullptr ||
                    (!everyLocomotive && loco.get() != &cab->shownLocomotive())) {
                    continue;
                }
                const Locomotive::Records& records = loco->records();
                if (records.speed == nullptr) {
                    continue;
                }
                model->remove(numberOf(records.speed));
                for (const DCCMessage* group : records.functionGroups) {
                    if (functions) {
                        model->remove(numberOf(group));
                    }
                }
            }
        };
        static const std::int64_t addresses[] = {1, 3, 127, 128, 1000, 10239};
        switch (random() % 12) {
        case 0:
        case 1:
        case 2:
            cab->setLocoSpeed(static_cast<std::int64_t>(random() % 128));
            addSpeed(model);
            break;
        case 3:
            cab->sendDirectionChange(nullptr);
            addSpeed(model);
            break;
        case 4:
            headlight(model);
            break;
        case 5:
            cab->setSpeedMode(static_cast<std::int64_t>(random() % 3));
            addSpeed(model);
            break;
        case 6:
            ASSERT_TRUE(cab->setLocoAddress(addresses[random() % std::size(addresses)]));
            break;
        case 7:
            cab->sendStop(nullptr);
            addSpeed(model);
            break;
        case 8:
            withdraw(false, false);
            cab->sendEmergencyStop(nullptr);
            add(own().emergencyStop, 1);
            break;
        case 9:
            withdraw(true, false);
            cab->sendBroadcastEmergencyStop(nullptr);
            add(catalogue(DCCController::broadcastStopIndex), 1);
            break;
        case 10:
            withdraw(true, true);
            cab->sendReset(nullptr);
            add(catalogue(DCCController::resetIndex), 1);
            break;
        default:
            cab->sendIdle(nullptr);
            add(catalogue(DCCController::idleIndex), 1);
            break;
        }
    }

    // What a new command for the shown locomotive hands over, after the stops it supersedes
    // leave the queues: its own emergency stop before a speed, stop all and the reset once they
    // have been written.
    void supersedeStops(ScheduleModel& model, bool speed) {
        if (speed) {
            model.remove(numberOf(cab->shownLocomotive().records().emergencyStop));
            model.removeIfWritten(
                numberOf(cab->catalogueMessage(DCCController::broadcastStopIndex)));
        }
        model.removeIfWritten(numberOf(cab->catalogueMessage(DCCController::resetIndex)));
    }

    // The model's side of a command that sent the shown locomotive's speed packet.
    void addSpeed(ScheduleModel* model) {
        if (model != nullptr) {
            supersedeStops(*model, true);
            model->add(numberOf(cab->shownLocomotive().records().speed), 0);
        }
    }

    // The headlight (F0), given to the cab and the model: its group, and in 14-step mode the
    // speed packet that carries the light there.
    void headlight(ScheduleModel* model) {
        const bool stopped = cab->isEmergencyStopped();
        cab->headlight(nullptr);
        if (model != nullptr) {
            supersedeStops(*model, false);
            model->add(numberOf(cab->shownLocomotive().records().functionGroups[0]), 1);
            if (cab->speedMode() == 0 && !stopped) {
                addSpeed(model);
            }
        }
    }

    // The last commands: a speed in a mode the board reads alike, and the light; once they
    // have gone out, the board's picture of the locomotive is what the cab holds.
    void expectTheLayoutFollowsTheCab(ScheduleModel* model) {
        queue.drain();
        ASSERT_NO_FATAL_FAILURE(takeDisplay(model));
        cab->setSpeedMode(2);
        addSpeed(model);
        cab->setLocoSpeed(77);
        addSpeed(model);
        headlight(model);
        ASSERT_NO_FATAL_FAILURE(settle(model));
        const LocoAddress address{static_cast<std::uint16_t>(cab->locoAddress()),
                                  cab->locoAddress() >= 128};
        const std::optional<LayoutModel::Locomotive> loco = board->layout().find(address);
        ASSERT_TRUE(loco.has_value()) << board->layout().describe();
        EXPECT_EQ(loco->mode, SpeedMode::Steps128);
        EXPECT_EQ(loco->step, cab->currentSpeedStep());
        EXPECT_EQ(loco->forward, cab->locoDirection() == 1);
        EXPECT_EQ(loco->functions, cab->functions());
        EXPECT_FALSE(loco->emergencyStopped);
    }

    // Runs the link until the dispatcher is idle and the board has every frame written, taking
    // the display as it goes. A reply the board keeps back (its knobs may still be on) is made
    // up by the timer.
    void settle(ScheduleModel* model) {
        queue.drain();
        ASSERT_NO_FATAL_FAILURE(takeDisplay(model));
        for (;;) {
            const std::uint64_t before = framesWritten();
            ASSERT_TRUE(queue.runUntil([&] {
                return (cab->dispatcher().empty() && watch.received() == framesWritten()) ||
                       framesWritten() > before || noReplyComing();
            }));
            if (cab->dispatcher().empty() && watch.received() == framesWritten()) {
                break;
            }
            if (framesWritten() == before) {
                queue.drain();
                queue.advanceClock(cab->replyTimeout());
                queue.runPending();
            }
            ASSERT_NO_FATAL_FAILURE(takeDisplay(model));
        }
    }

    // Whether the board has every frame written, every reply it owes for them has reached the
    // cab, and it will not answer the newest one: only the reply timer can move the link on. An
    // older frame's reply can still be on its way after the newest frame has reached the board:
    // a command to a dispatcher that went idle with its last frame unanswered writes at once.
    bool noReplyComing() const {
        // The board counts a frame's reply bytes before its event: received first.
        if (watch.received() < framesWritten() ||
            deliveries.bytes() < board->counters().replyBytes) {
            return false;
        }
        const std::string note = watch.lastNote();
        return note == "dropped" || note == "silent" || note == "not UTF-8" ||
               note.find("held back") != std::string::npos ||
               note.find("hanging up") != std::string::npos;
    }

    std::size_t logLinesWith(const std::string& text) const {
        const std::vector<std::string> lines = log.lines();
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(),
                          [&](const auto& l) { return l.find(text) != std::string::npos; }));
    }

    TestMainQueue queue;
    TestDeviceRegistry registry; // lists nothing: the board's terminal is no machine device
    RecordingLog log;
    TestManager manager;
    CapturingView view{cab};
    BoardWatch watch;
    DeliveryCount deliveries;
    std::unique_ptr<SimulatedBoard> board;
    std::unique_ptr<DCCController> cab;
    // The model's numbers of the records the cab has written or handed over.
    std::map<const DCCMessage*, int> numbers;
    std::shared_ptr<KESSerialPort> port;

    std::deque<Bytes> written;  // written by the dispatcher, not yet matched
    std::deque<Bytes> received; // received by the board, not yet matched
    std::uint64_t dispatched = 0;
    std::uint64_t matched = 0;
    std::uint64_t acknowledgements = 0;
    // Events that may each put one frame on the line: replies taken, runs of the reply timer,
    // commands. The display must have been taken before a timer run or a command counts.
    std::uint64_t releases = 0;
    std::deque<std::uint64_t> writtenBy; // for each frame in written, the event that wrote it
};

TEST_F(CabLinkSoak, EveryFrameArrivesOnceInOrderAsTheScheduleSays) {
    const std::uint64_t total = Soak::frames();
    const std::uint64_t seedValue = Soak::seed();
    SCOPED_TRACE("seed " + std::to_string(seedValue));
    std::mt19937_64 random(seedValue);
    ScheduleModel model;
    StdoutMuted muted;
    start();
    while (dispatched < total) {
        if (cab->dispatcher().empty() || random() % 8 == 0) {
            command(random, &model);
        }
        // The reply to the newest frame, which releases the next one (or leaves the dispatcher
        // idle). The reply timer never runs: the test clock stands still.
        const std::uint64_t before = framesWritten();
        ASSERT_TRUE(
            queue.runUntil([&] { return framesWritten() > before || cab->dispatcher().empty(); }));
        ASSERT_NO_FATAL_FAILURE(takeDisplay(&model));
        ASSERT_NO_FATAL_FAILURE(matchBoard());
        ASSERT_EQ(model.idle(), cab->dispatcher().empty()) << "frame " << dispatched;
    }
    ASSERT_NO_FATAL_FAILURE(expectTheLayoutFollowsTheCab(&model));
    ASSERT_NO_FATAL_FAILURE(takeDisplay(&model));
    ASSERT_NO_FATAL_FAILURE(matchBoard());
    EXPECT_EQ(dispatched, framesWritten());
    EXPECT_EQ(matched, dispatched) << "lost or duplicated frames";
    EXPECT_TRUE(written.empty() && received.empty());
    // A frame written while the one before still awaits its reply can have both replies come
    // in one delivery, which counts once; every frame is answered all the same.
    EXPECT_LE(acknowledgements, dispatched);
    // The board counts a reply once written; its delivery to the cab comes after that.
    EXPECT_TRUE(queue.runUntil([&] { return board->counters().writes == dispatched; }))
        << "one reply per frame";
    const SimulatedBoard::Counters counters = board->counters();
    EXPECT_EQ(counters.frames, dispatched);
    EXPECT_EQ(counters.badErrorBytes + counters.badLengths + counters.incompleteFrames, 0u);
    EXPECT_EQ(logLinesWith("No reply"), 0u);
    std::fprintf(stderr, "soak: %llu frames\n", static_cast<unsigned long long>(dispatched));
}

// One misbehaviour of the board and what the program is defined to do about it.
struct KnobCase {
    const char* what;
    BoardKnobs knobs;
    bool stalls;   // replies go missing: the reply timer sends on, each stall logged once
    bool silences; // the board stops answering for good, until the knob is taken back
    bool hangsUp;  // the line closes: the port closes, nothing more reaches the board
};

void PrintTo(const KnobCase& c, std::ostream* out) {
    *out << c.what;
}

BoardKnobs knob(unsigned BoardKnobs::*member, unsigned every) {
    BoardKnobs knobs;
    knobs.*member = every;
    return knobs;
}

BoardKnobs silentAfter(std::uint64_t frames) {
    BoardKnobs knobs;
    knobs.silentAfter = frames;
    return knobs;
}

BoardKnobs hangUpAfter(std::uint64_t frames) {
    BoardKnobs knobs;
    knobs.hangUpAfter = frames;
    return knobs;
}

class CabLinkKnobSoak : public CabLinkSoak, public testing::WithParamInterface<KnobCase> {};

TEST_P(CabLinkKnobSoak, TheLinkCopesAsDefined) {
    const KnobCase& c = GetParam();
    const std::uint64_t total = std::clamp<std::uint64_t>(Soak::frames() / 200, 1000, 5000);
    const std::uint64_t seedValue = Soak::seed();
    SCOPED_TRACE("seed " + std::to_string(seedValue));
    std::mt19937_64 random(seedValue);
    StdoutMuted muted;
    start(c.knobs);
    std::size_t timeouts = 0;
    while (dispatched < total && cab->portIsOpen()) {
        if (cab->dispatcher().empty() || random() % 8 == 0) {
            ASSERT_NO_FATAL_FAILURE(takeDisplay(nullptr));
            ++releases;
            command(random, nullptr);
        }
        const std::uint64_t before = framesWritten();
        ASSERT_TRUE(queue.runUntil([&] {
            return framesWritten() > before || cab->dispatcher().empty() || noReplyComing() ||
                   !cab->portIsOpen();
        })) << "board received "
            << watch.received() << ", last reply " << watch.lastNote() << ", frames written "
            << framesWritten();
        queue.drain();
        if (framesWritten() == before && !cab->dispatcher().empty() && cab->portIsOpen()) {
            ASSERT_NO_FATAL_FAILURE(takeDisplay(nullptr));
            ++releases;
            queue.advanceClock(cab->replyTimeout());
            queue.runPending();
            ++timeouts;
            // A hang-up can reach the cab first, in the same run: the closing port stops the timer.
            ASSERT_TRUE(framesWritten() > before || !cab->portIsOpen())
                << "the reply timeout sent nothing; timers pending " << queue.delayedCount()
                << ", board received " << watch.received() << ", last reply " << watch.lastNote()
                << ", frames written " << framesWritten();
        }
        ASSERT_NO_FATAL_FAILURE(takeDisplay(nullptr));
        ASSERT_NO_FATAL_FAILURE(matchBoard());
    }
    if (c.hangsUp) {
        EXPECT_FALSE(cab->portIsOpen()) << "the port stays open on a line that hung up";
        EXPECT_TRUE(queue.runUntil([&] { return watch.hungUp(); }));
        ASSERT_TRUE(queue.runUntil([&] { return watch.received() >= *c.knobs.hangUpAfter; }));
        ASSERT_NO_FATAL_FAILURE(matchBoard());
        EXPECT_GE(matched, *c.knobs.hangUpAfter) << "every frame up to the hang-up arrived";
        ASSERT_NO_FATAL_FAILURE(takeDisplay(nullptr));
        ASSERT_NO_FATAL_FAILURE(matchBoard());
        // At most the frames in flight are lost: stop-and-wait puts one frame on the line per
        // reply or run of the reply timer, but a command to a dispatcher that went idle on its
        // last frame writes at once, before that frame's reply, and the late reply releases one
        // more. So a hang-up can take two frames or more, each put there by an event of its own.
        for (std::size_t i = 1; i < writtenBy.size(); ++i) {
            EXPECT_NE(writtenBy[i], writtenBy[i - 1])
                << "one reply, timer run or command put two frames on the line; " << written.size()
                << " frames lost";
        }
        EXPECT_TRUE(received.empty());
        return;
    }
    if (c.silences) {
        EXPECT_EQ(logLinesWith("No reply"), 1u) << "one stall, logged once";
        EXPECT_GT(timeouts, 1u);
        EXPECT_EQ(logLinesWith("answers again"), 0u);
    }
    // The board behaves again, so the last commands end any stall still open (a reply held back
    // when the link went idle comes with the next one).
    board->setKnobs({});
    ASSERT_NO_FATAL_FAILURE(expectTheLayoutFollowsTheCab(nullptr));
    ASSERT_NO_FATAL_FAILURE(takeDisplay(nullptr));
    ASSERT_NO_FATAL_FAILURE(matchBoard());
    EXPECT_EQ(dispatched, framesWritten());
    EXPECT_EQ(matched, dispatched) << "lost or duplicated frames";
    EXPECT_TRUE(written.empty() && received.empty());
    const SimulatedBoard::Counters counters = board->counters();
    EXPECT_EQ(counters.badErrorBytes + counters.badLengths + counters.incompleteFrames, 0u);
    if (c.stalls) {
        // A stall lasts until a reply comes, however many timeouts it takes.
        EXPECT_GT(timeouts, 0u);
        EXPECT_GE(logLinesWith("No reply"), 1u);
    } else if (!c.silences) {
        EXPECT_EQ(timeouts, 0u);
        EXPECT_EQ(logLinesWith("No reply"), 0u);
    }
    EXPECT_EQ(logLinesWith("answers again"), logLinesWith("No reply"))
        << "every stall ends with a reply";
    EXPECT_EQ(cab->statusText().find("does not answer"), std::string::npos) << cab->statusText();
}

const KnobCase knobCases[] = {
    {"split replies", knob(&BoardKnobs::splitEvery, 3), false, false, false},
    {"merged replies", knob(&BoardKnobs::mergeEvery, 5), true, false, false},
    {"dropped replies", knob(&BoardKnobs::dropEvery, 7), true, false, false},
    {"silence", silentAfter(200), false, true, false},
    {"hang-up", hangUpAfter(300), false, false, true},
};

// Named after the case, so that a filter can pick one: Knobs/CabLinkKnobSoak.*/silence.
INSTANTIATE_TEST_SUITE_P(Knobs, CabLinkKnobSoak, testing::ValuesIn(knobCases),
                         [](const testing::TestParamInfo<KnobCase>& info) {
                             std::string name = info.param.what;
                             std::replace_if(
                                 name.begin(), name.end(),
                                 [](char c) {
                                     return !std::isalnum(static_cast<unsigned char>(c));
                                 },
                                 '_');
                             return name;
                         });

} // namespace
