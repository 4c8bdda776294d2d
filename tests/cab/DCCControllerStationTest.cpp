#include "BackgroundThreads.h"
#include "DCCController.h"
#include "KESSerialPort.h"
#include "MemoryButton.h"
#include "MemoryTextView.h"
#include "PseudoTerminalPair.h"
#include "RecordingLog.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"

#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

class TestManager : public KESSerialPortManager {};

// The cab on a real pseudo-terminal, with the test playing a DCC-EX or SPROG station on its
// master side: each step does something on the cab, reads what it wrote, answers, and checks
// what the cab made of the answer.
class DCCControllerStation : public testing::Test {
protected:
    void SetUp() override {
        MainQueue::setShared(&queue);
        testing::internal::CaptureStdout();
        cab = std::make_unique<DCCController>(manager);
        cab->setReceivedDataTextView(&view);
        cab->setOpenCloseButton(&button);
        cab->awakeFromNib();
        port = KESSerialPort::serialPortWithKnownPath(line.slavePath(), "station");
        ASSERT_NE(port, nullptr);
        cab->setSerialPort(port);
    }

    void TearDown() override {
        if (cab->portIsOpen()) {
            cab->openOrClosePort(nullptr);
            EXPECT_TRUE(queue.runUntil([&] { return !cab->portIsOpen(); }));
        }
        cab.reset();
        port.reset();
        EXPECT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
        const std::string printed = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            std::fputs(printed.c_str(), stdout); // the failures' own lines are among them
        }
        MainQueue::setShared(nullptr);
    }

    // Reads what the cab writes until text has come whole; true if it did.
    bool written(const std::string& text) {
        std::string seen;
        const bool came = queue.runUntil([&] {
            const Bytes bytes = line.readAvailable();
            seen.append(bytes.begin(), bytes.end());
            return seen.size() >= text.size();
        });
        EXPECT_EQ(seen, text);
        return came && seen == text;
    }

    void answer(const std::string& text) { line.write(Bytes(text.begin(), text.end())); }

    struct Step {
        const char* what;
        std::function<void(DCCController&)> act;
        std::string wire;                               // what the cab writes
        std::vector<std::string> replies;               // written as they stand, one by one
        std::function<bool(const DCCController&)> then; // holds once the replies are taken
        bool answerFirst = false;                       // the wire follows the replies
    };

    void play(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            if (step.act) {
                step.act(*cab);
            }
            if (!step.answerFirst) {
                ASSERT_TRUE(written(step.wire));
            }
            for (const std::string& reply : step.replies) {
                answer(reply);
            }
            if (step.answerFirst) {
                ASSERT_TRUE(written(step.wire));
            }
            if (step.then) {
                ASSERT_TRUE(queue.runUntil([&] { return step.then(*cab); }));
            }
        }
    }

    TestMainQueue queue;
    TestDeviceRegistry registry;
    RecordingLog log;
    TestManager manager;
    MemoryTextView view;
    MemoryButton button{"Open"};
    PseudoTerminalPair line;
    std::unique_ptr<DCCController> cab;
    std::shared_ptr<KESSerialPort> port;
};

auto open = [](DCCController& cab) { cab.openOrClosePort(nullptr); };
auto problemSays = [](const char* words) {
    return [words](const DCCController& cab) {
        return cab.statusText().find(words) != std::string::npos;
    };
};

TEST_F(DCCControllerStation, DCCEXCommandsRepliesAndReports) {
    cab->setStationKind(StationKind::dccex);
    play({
        {"the greeting asks for the status",
         open,
         "<s><#>",
         {"<* Free memory 5000 *>\n<iDCC-EX V-5.0.0 / TEST>\n<p", "0>\n<# 50>\n"},
         [](const DCCController& c) {
             return c.stationVersion() == "DCC-EX V-5.0.0 / TEST" &&
                    c.trackPower() == TrackPower::off;
         }},
        {"power on, as the station reports it",
         [](DCCController& c) { c.setTrackPower(true); },
         "<1><#>",
         {"<p1>\n<# 50>\n"},
         [](const DCCController& c) { return c.trackPower() == TrackPower::on; }},
        {"a speed in DCC-EX's 126 steps, once",
         [](DCCController& c) { c.setLocoSpeed(64); },
         "<t 3 63 1><#>",
         {"<l 3 0 192 0>\n<# 50>\n"},
         [](const DCCController& c) { return c.currentSpeedStep() == 14 && c.linkIsIdle(); }},
        {"a function group, one command per function",
         [](DCCController& c) { c.setFunction(0, true); },
         "<F 3 0 1><F 3 1 0><F 3 2 0><F 3 3 0><F 3 4 0><#>",
         {"<# 50>\n"},
         [](const DCCController& c) { return c.functionIsOn(0) && c.linkIsIdle(); }},
        {"another throttle's change shows",
         nullptr,
         "",
         {"<l 3 0 138 3>\n"},
         [](const DCCController& c) {
             return c.currentSpeedStep() == 2 && c.functionIsOn(1) && c.locoDirection() == 1;
         }},
        {"the emergency stop",
         [](DCCController& c) { c.sendEmergencyStop(nullptr); },
         "<t 3 -1 1><#>",
         {"<# 50>\n"},
         [](const DCCController& c) { return c.isEmergencyStopped() && c.linkIsIdle(); }},
        {"stop all",
         [](DCCController& c) { c.sendBroadcastEmergencyStop(nullptr); },
         "<!><#>",
         {"<# 50>\n"},
         [](const DCCController& c) { return c.linkIsIdle(); }},
        {"a refused command is said in words",
         nullptr,
         "",
         {"<X>\n"},
         problemSays("refused a command")},
        {"a restarted station gets the locomotive and its functions again",
         nullptr,
         "<s><#><t 3 -1 1><#><F 3 0 1><F 3 1 1><F 3 2 0><F 3 3 0><F 3 4 0><#>",
         {"<* License GPLv3 fsf.org (c) dcc-ex.com *>\n<p0>\n<# 50>\n", "<# 50>\n", "<# 50>\n"},
         [](const DCCController& c) { return c.trackPower() == TrackPower::off && c.linkIsIdle(); },
         true},
    });
    EXPECT_NE(view.string().find("License GPLv3"), std::string::npos); // diagnostics show
}

TEST_F(DCCControllerStation, SPROGPacketsPromptsPowerAndRefresh) {
    cab->setStationKind(StationKind::sprog);
    play({
        {"the greeting asks for the version; the prompt comes in pieces",
         open,
         "?\r",
         {"\r\nSPROG 3 Ver 4.6\r", "\nP", "> "},
         [](const DCCController& c) { return c.stationVersion() == "SPROG 3 Ver 4.6"; }},
        {"with nothing to send, the idle packet keeps the replies coming; power goes next",
         [](DCCController& c) { c.setTrackPower(true); },
         "O FF 00 FF\r",
         {"P> "},
         nullptr},
        {"power is on once the SPROG has answered",
         nullptr,
         "+\r",
         {"P> "},
         [](const DCCController& c) { return c.trackPower() == TrackPower::on; }},
    });
    // The speed goes 4 + 4 times, spaced by idle packets when nothing else waits, then the
    // refresh keeps sending it.
    cab->setLocoSpeed(64);
    std::string wire;
    for (int i = 0; i < 24; ++i) {
        std::string command;
        ASSERT_TRUE(queue.runUntil([&] {
            const Bytes bytes = line.readAvailable();
            command.append(bytes.begin(), bytes.end());
            return !command.empty() && command.back() == '\r';
        }));
        wire += command;
        answer("P> ");
    }
    std::size_t speeds = 0;
    for (auto at = wire.find("O 03 78 7B\r"); at != std::string::npos;
         at = wire.find("O 03 78 7B\r", at + 1)) {
        ++speeds;
    }
    EXPECT_GT(speeds, 8u) << wire; // repeated, then refreshed
    EXPECT_EQ(wire.find("O 03 78 7B\rO 03 78 7B\r"), std::string::npos) << wire;

    // An overload cuts the power and says so.
    std::string command;
    ASSERT_TRUE(queue.runUntil([&] {
        const Bytes bytes = line.readAvailable();
        command.append(bytes.begin(), bytes.end());
        return !command.empty() && command.back() == '\r';
    }));
    answer("!O\r\nP> ");
    EXPECT_TRUE(queue.runUntil([&] {
        return cab->trackPower() == TrackPower::off &&
               cab->statusText().find("short circuit") != std::string::npos;
    }));
}

TEST_F(DCCControllerStation, AStationThatFallsSilentShowsPowerUnknown) {
    cab->setStationKind(StationKind::dccex);
    play({{"greeting", open, "<s><#>", {"<p1>\n<# 50>\n"}, [](const DCCController& c) {
               return c.trackPower() == TrackPower::on;
           }}});
    cab->setLocoSpeed(64);
    ASSERT_TRUE(written("<t 3 63 1><#>"));
    queue.advanceClock(DCCController::defaultReplyTimeout);
    EXPECT_TRUE(queue.runUntil(
        [&] { return !cab->stationIsAnswering() && cab->trackPower() == TrackPower::unknown; }));
}

} // namespace
