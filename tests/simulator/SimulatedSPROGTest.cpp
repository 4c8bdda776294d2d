#include "SimulatedSPROG.h"

#include "SlaveClient.h"

#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Kind = SimulatorEvent::Kind;

struct Row {
    std::function<void(SimulatedSPROG&)> before; // done to the station before sending
    std::string sent;
    std::string reply;
    const char* layout; // the layout described afterwards; null: not checked
    Kind kind = Kind::Command;
};

const char* stepFifty = "loco 3: step 50 of 126, forward, functions off\n";
const char* stoppedWithLight = "loco 3: stopped (128 steps), forward, F0 on\n";

TEST(SimulatedSPROG, AnswersEveryCommandWithASplitPrompt) {
    std::mutex mutex;
    std::vector<SimulatorEvent> events;
    SimulatedSPROG station([&](const SimulatorEvent& event) {
        const std::lock_guard lock(mutex);
        events.push_back(event);
    });
    station.start();
    SlaveClient client(station.slavePath());
    ASSERT_TRUE(client.isOpen());

    const std::vector<Row> rows{
        {{}, " \r", "P> ", "no locomotives\n"},
        {{}, "?\r", "\r\nSPROG 3 Ver 4.6 (simulated)\r\nP> ", nullptr},
        {{}, "O 03 3F B3 8F\r", "\r\nP> ", stepFifty},
        {{}, "O 03 3F B3 8E\r", "!E\r\nP> ", stepFifty, Kind::BadErrorByte},
        {{}, "O 03 3G B3 8F\r", "!E\r\nP> ", stepFifty, Kind::BadCommand},
        {{}, "O 03\r", "!E\r\nP> ", nullptr, Kind::BadCommand},
        {{}, "O 03 3F B3 00 00 00 8F\r", "!E\r\nP> ", nullptr, Kind::BadCommand},
        {{}, "O 03 90 93\r\n", "\r\nP> ", "loco 3: step 50 of 126, forward, F0 on\n"},
        {{}, "-\r", "\r\nP> ", nullptr},
        {{}, "O 03 3F 80 BC\r", "\r\nP> ", "loco 3: step 50 of 126, forward, F0 on\n"},
        {{}, "+\r", "\r\nP> ", nullptr},
        {{}, "O 03 3F 80 BC\r", "\r\nP> ", stoppedWithLight},
        {{}, "X\r", "!E\r\nP> ", nullptr, Kind::BadCommand},
        {{}, "\r", "P> ", nullptr},
        {[](SimulatedSPROG& s) { s.overload(); }, "O 03 3F B3 8F\r", "\r\n!O\r\nP> ",
         stoppedWithLight},
        {{}, " \r", "P> ", nullptr},
        {{}, "O" + std::string(120, ' ') + "FF 00 FF\r", "!E\r\nP> ", nullptr, Kind::BadCommand},
    };

    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ": " + row.sent);
        if (row.before) {
            row.before(station);
        }
        client.send(row.sent);
        const std::vector<std::string> pieces = client.readUntil("P> ");
        ASSERT_EQ(pieces.size(), 2u) << "a reply comes in two reads";
        EXPECT_EQ(pieces[0] + pieces[1], row.reply);
        if (row.layout != nullptr) {
            EXPECT_EQ(station.layout().describe(), row.layout);
        }
        const std::lock_guard lock(mutex);
        EXPECT_EQ(events.back().kind, row.kind);
    }
    EXPECT_FALSE(station.isPowerOn()) << "an overload turns the power off";

    const std::lock_guard lock(mutex);
    EXPECT_EQ(events[2].number, 3u);
    EXPECT_EQ(events[2].meaning, "loco 3: step 50 of 126, forward");
    const std::string lightOn = "O 03 90 93\r";
    EXPECT_EQ(events[7].bytes, std::vector<std::uint8_t>(lightOn.begin(), lightOn.end()));
    EXPECT_EQ(events[9].meaning, "loco 3: stop (128 steps), forward (no power: not applied)");
}

} // namespace
