#include "SimulatedDCCEX.h"

#include "SlaveClient.h"

#include <dirent.h>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Kind = SimulatorEvent::Kind;

// Asks for a loco no row uses after each command, so that its answer marks where the command's
// own reply (possibly none) ends.
const std::string marker = "<t 10239>";
const std::string markerAnswer = "<l 10239 -1 128 0>\n";

struct Row {
    std::function<void(SimulatedDCCEX&)> before; // done to the station before sending
    std::string sent;
    std::string reply;  // all that comes back, unprompted lines included
    const char* layout; // the layout described afterwards; null: not checked
};

const std::string status = "<iDCC-EX V-5.0.0 / SIMULATED / DCC Cab>\n";
const char* threeAndTwoHundredStopped =
    "loco 3: emergency stopped (128 steps), forward, F0 F28 on\n"
    "loco 200 (long): emergency stopped (128 steps), forward, functions off\n";

TEST(SimulatedDCCEX, AnswersCommandsAndKeepsItsTable) {
    std::mutex mutex;
    std::vector<SimulatorEvent> events;
    SimulatedDCCEX station([&](const SimulatorEvent& event) {
        const std::lock_guard lock(mutex);
        events.push_back(event);
    });
    station.start();
    SlaveClient client(station.slavePath());
    ASSERT_TRUE(client.isOpen());

    const std::vector<Row> rows{
        {{}, "<s>", status + "<p1>\n", "no locomotives\n"},
        {{}, "<#>", "<# 50>\n", nullptr},
        {{}, "<t 3 50 1>", "<l 3 0 179 0>\n", "loco 3: step 50 of 126, forward, functions off\n"},
        {{}, "<t 3 50 1>", "", nullptr}, // the speed byte did not change
        {{},
         "noise\n<t 3 0 0>noise",
         "<l 3 0 0 0>\n",
         "loco 3: stopped (128 steps), reverse, functions off\n"},
        {{}, "<t 1 3 20 1>", "<T 1 20 1>\n<l 3 0 149 0>\n", nullptr},
        {{}, "<F 3 0 1>", "<l 3 0 149 1>\n", "loco 3: step 20 of 126, forward, F0 on\n"},
        {{}, "<F 3 0 1>", "", nullptr},
        {{}, "<F 3 28 1>", "<l 3 0 149 268435457>\n", nullptr},
        {{}, "<t 200 10 1>", "<l 200 1 139 0>\n", nullptr},
        {{}, "<!>", "<l 3 0 129 268435457>\n<l 200 1 129 0>\n", threeAndTwoHundredStopped},
        {{}, "<!>", "", nullptr},
        {{}, "<0>", "<p0>\n", nullptr},
        {{}, "<0 MAIN>", "", nullptr},
        // Without power the table changes but the track does not.
        {{}, "<t 3 5 1>", "<l 3 0 134 268435457>\n", threeAndTwoHundredStopped},
        {{}, "<M 0 03 3F 90>", "", threeAndTwoHundredStopped},
        {{},
         "<1 main>",
         "<p1>\n",
         "loco 3: step 5 of 126, forward, F0 F28 on\n"
         "loco 200 (long): emergency stopped (128 steps), forward, functions off\n"},
        {{},
         "<M 0 03 3F 90>",
         "",
         "loco 3: step 15 of 126, forward, F0 F28 on\n"
         "loco 200 (long): emergency stopped (128 steps), forward, "
         "functions off\n"},
        {{}, "<t 3 1 1 <t 3 2 1>", "<l 3 0 131 268435457>\n", nullptr}, // '<' starts afresh
        {{}, "<s" + std::string(150, ' ') + "junk>", status + "<p1>\n", nullptr}, // cut at 100
        {{}, "<t 3>", "<l 3 0 131 268435457>\n", nullptr},
        {{}, "<t 9>", "<l 9 -1 128 0>\n", nullptr},
        {{}, "<t 0 5 1>", "<X>\n", nullptr},
        {{}, "<t 3 127 1>", "<X>\n", nullptr},
        {{}, "<F 3 29 1>", "<X>\n", nullptr},
        {{}, "<q>", "<X>\n", nullptr},
        {{}, "<>", "<X>\n", nullptr},
        {{}, "<t 3,5,1>", "<X>\n", nullptr},
        {{}, "<1 PROG>", "<X>\n", nullptr},
        {{}, "<M 0 103>", "<X>\n", nullptr},
        {{}, "<s 1>", "<X>\n", nullptr},
        {[](SimulatedDCCEX& s) { s.restart(); }, "",
         "<* License GPLv3 fsf.org (c) dcc-ex.com *>\n" + status + "<p0>\n", "no locomotives\n"},
        {{}, "<t 3>", "<l 3 -1 128 0>\n", nullptr},
        {{}, "<t 3 5 1>", "<l 3 0 134 0>\n", "no locomotives\n"}, // power is off after a restart
        {[](SimulatedDCCEX& s) { s.inject("<* hello *>\n\xFF"); }, "", "<* hello *>\n\xFF",
         nullptr},
    };

    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ": " + row.sent);
        if (row.before) {
            row.before(station);
        }
        client.send(row.sent + marker);
        std::string got;
        for (const std::string& piece : client.readUntil(markerAnswer)) {
            got += piece;
        }
        ASSERT_TRUE(got.ends_with(markerAnswer)) << got;
        EXPECT_EQ(got.substr(0, got.size() - markerAnswer.size()), row.reply);
        if (row.layout != nullptr) {
            EXPECT_EQ(station.layout().describe(), row.layout);
        }
    }

    const std::lock_guard lock(mutex);
    const auto eventFor = [&](const std::string& bytes) {
        for (const SimulatorEvent& event : events) {
            if (event.bytes == std::vector<std::uint8_t>(bytes.begin(), bytes.end())) {
                return event;
            }
        }
        return SimulatorEvent{};
    };
    EXPECT_EQ(eventFor("<t 3 50 1>").meaning, "loco 3: step 50 of 126, forward");
    EXPECT_EQ(eventFor("<t 3 50 1>").number, 5u) << "commands are numbered from 1, markers too";
    EXPECT_EQ(eventFor("<0>").meaning, "power off");
    EXPECT_EQ(eventFor("<q>").kind, Kind::BadCommand);
    EXPECT_EQ(eventFor("<q>").reply, "<X>\n");
    EXPECT_EQ(eventFor("<F 3 28 1>").meaning, "loco 3: F28 on");
    EXPECT_EQ(eventFor("<* License GPLv3 fsf.org (c) dcc-ex.com *>\n" + status + "<p0>\n").kind,
              Kind::Unprompted);
}

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

TEST(SimulatedDCCEX, StartsWithoutPowerIfAskedAndLeavesNoDescriptorBehind) {
    const std::size_t before = openDescriptors();
    {
        SimulatedDCCEX running; // destroyed while running
        running.start();
    }
    {
        SimulatedDCCEX station({}, false);
        station.start();
        SlaveClient client(station.slavePath());
        client.send("<s>");
        std::string got;
        for (const std::string& piece : client.readUntil("<p0>\n")) {
            got += piece;
        }
        EXPECT_EQ(got, status + "<p0>\n");
        EXPECT_FALSE(station.isPowerOn());
        station.stop();
        station.hangUp();
        EXPECT_TRUE(station.isHungUp());
    }
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
