#include "WiThrottleServer.h"

#include "BackgroundThreads.h"
#include "DCCController.h"
#include "MemoryButton.h"
#include "MemoryPopUpButton.h"
#include "MemoryTextField.h"
#include "MemoryTextView.h"
#include "RecordingLog.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"
#include "WiThrottleLine.h"

#include <gtest/gtest.h>
#include <sstream>

namespace {

class TestManager : public KESSerialPortManager {};

// Keeps what the server sent, as "<connection> <line>" and "<connection> @closed".
class RecordingOutlet : public WiThrottleOutlet {
public:
    void send(ConnectionId connection, const std::string& line) override {
        lines.push_back(std::to_string(connection) + " " + line);
    }
    void close(ConnectionId connection) override {
        lines.push_back(std::to_string(connection) + " @closed");
    }
    std::vector<std::string> lines;
};

// One step of a conversation: what happens, and every line that goes out because of it.
//
// What happens: "<connection> <line>" (a line from that phone), "<connection> @connect",
// "<connection> @drop", "@at <seconds>" (the clock moves to that time and the server ticks),
// "@window <speed|direction|press> <address> <value>" (the window's throttle), "@take
// <connection> <address>", "@roster empty", "@max <n>", "@heartbeat <seconds>", "@station dccex",
// and two that report rather than act: "@cab <address>" (what the cab holds, as "= <address>: ...")
// and
// "@connections" (one "= <id> <name>|<device id>|<monitored> <throttle>:<addresses>" each).
//
// Expected lines may be shorthands, expanded by expand(): "<c> greeting [PPA<n>]";
// "<c> acquired <t> <key> <V> <R> <s> [F<n,...>] [labels]" (the whole acquire answer);
// "<c> qm <t> <key> <momentary n,...>" (the 29 answers to qm).
struct Step {
    std::string event;
    std::vector<std::string> out;
};

std::vector<std::string> wordsOf(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

std::vector<int> numbersOf(const std::string& list) {
    std::vector<int> numbers;
    std::istringstream stream(list);
    for (std::string number; std::getline(stream, number, ',');) {
        numbers.push_back(std::stoi(number));
    }
    return numbers;
}

bool contains(const std::vector<int>& numbers, int n) {
    return std::find(numbers.begin(), numbers.end(), n) != numbers.end();
}

class WiThrottleServerTest : public testing::Test {
protected:
    void SetUp() override {
        MainQueue::setShared(&queue);
        manager = std::make_unique<TestManager>();
        cab = std::make_unique<DCCController>(*manager);
        cab->setReceivedDataTextView(&view);
        cab->setSendTextField(&field);
        cab->setOpenCloseButton(&openClose);
        cab->setAddressModeButton(&modes);
        cab->awakeFromNib();
        RosterEntry bigBoy{"Big Boy", 4014, 2, {}, (1u << 2) | (1u << 5)};
        bigBoy.functionLabels[0] = "Light";
        bigBoy.functionLabels[2] = "Whistle";
        Roster roster;
        ASSERT_TRUE(roster.store(bigBoy));
        cab->setRoster(roster);
        WiThrottleSettings settings;
        settings.description = "Test layout";
        server = std::make_unique<WiThrottleServer>(*cab, outlet, settings);
    }

    void TearDown() override {
        server.reset();
        cab.reset();
        manager.reset();
        ASSERT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
        MainQueue::setShared(nullptr);
    }

    void run(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            SCOPED_TRACE(step.event);
            outlet.lines.clear();
            perform(step.event);
            std::vector<std::string> expected;
            for (const std::string& line : step.out) {
                const std::vector<std::string> expanded = expand(line);
                expected.insert(expected.end(), expanded.begin(), expanded.end());
            }
            EXPECT_EQ(outlet.lines, expected);
        }
    }

    void perform(const std::string& event) {
        const std::vector<std::string> words = wordsOf(event);
        if (event[0] != '@') {
            const WiThrottleServer::ConnectionId id = std::stoull(words[0]);
            const std::string line = event.substr(event.find(' ') + 1);
            if (line == "@connect") {
                server->connect(id, "peer" + words[0], now);
            } else if (line == "@drop") {
                server->disconnect(id, now);
            } else {
                server->receive(id, line == "@blank" ? "" : line, now);
            }
        } else if (words[0] == "@at") {
            now = start + std::chrono::seconds(std::stoi(words[1]));
            server->tick(now);
        } else if (words[0] == "@window") {
            const std::int64_t address = std::stoll(words[2]);
            const int value = std::stoi(words[3]);
            cab->setLocoAddress(address);
            if (words[1] == "speed") {
                cab->setLocoSpeed(value);
            } else if (words[1] == "direction") {
                cab->setLocoDirection(value);
            } else {
                cab->pressFunction(value);
            }
        } else if (words[0] == "@take") {
            server->takeAway(std::stoull(words[1]), std::stoll(words[2]));
        } else if (words[0] == "@max" || words[0] == "@heartbeat") {
            WiThrottleSettings settings = server->settings();
            if (words[0] == "@max") {
                settings.maxConnections = std::stoull(words[1]);
            } else {
                settings.heartbeat = std::chrono::seconds(std::stoi(words[1]));
            }
            server->setSettings(settings);
        } else if (words[0] == "@roster") {
            cab->setRoster(Roster());
        } else if (words[0] == "@station") {
            cab->setStationKind(*stationKindFromWord(words[1]));
        } else if (words[0] == "@cab") {
            outlet.lines.push_back(describe(std::stoll(words[1])));
        } else if (words[0] == "@connections") {
            for (const WiThrottleServer::Connection& connection : server->connections()) {
                std::string text = "= " + std::to_string(connection.id) + " " + connection.name +
                                   "|" + connection.deviceId + "|" +
                                   (connection.heartbeatMonitored ? "yes" : "no");
                for (const auto& [throttle, addresses] : connection.throttles) {
                    text += std::string(" ") + throttle + ":";
                    for (std::int64_t address : addresses) {
                        text += std::to_string(address) + ",";
                    }
                }
                outlet.lines.push_back(text);
            }
        }
    }

    std::string describe(std::int64_t address) const {
        const Locomotive* loco = cab->findLocomotive(address);
        if (loco == nullptr) {
            return "= " + std::to_string(address) + ": not in use";
        }
        static const char* const modeNames[] = {"14 steps", "28 steps", "128 steps"};
        return "= " + std::to_string(address) + ": speed " + std::to_string(loco->speed()) +
               (loco->direction() == 1 ? ", forward, " : ", reverse, ") +
               modeNames[loco->speedMode()] + ", functions " + functionListText(loco->functions()) +
               (loco->isEmergencyStopped() ? ", e-stopped" : "");
    }

    static std::vector<std::string> expand(const std::string& line) {
        const std::vector<std::string> words = wordsOf(line);
        if (words.size() < 2 ||
            (words[1] != "greeting" && words[1] != "acquired" && words[1] != "qm")) {
            return {line};
        }
        const std::string& c = words[0];
        if (words[1] == "greeting") {
            std::vector<std::string> lines = {c + " VN2.0", c + " HTDCC Cab", c + " HtTest layout",
                                              c + " RL1]\\[Big Boy}|{4014}|{L"};
            if (words.size() > 2) {
                lines.push_back(c + " " + words[2]);
            }
            return lines;
        }
        const std::string header = c + " M" + words[2] + "A" + words[3] + "<;>";
        std::vector<std::string> lines;
        if (words[1] == "qm") {
            const std::vector<int> momentary = numbersOf(words[4]);
            for (int n = 0; n < functionCount; ++n) {
                lines.push_back(header + "m" + (contains(momentary, n) ? "1" : "0") +
                                std::to_string(n));
            }
            return lines;
        }
        lines.push_back(c + " M" + words[2] + "+" + words[3] + "<;>");
        std::vector<int> on;
        for (std::size_t i = 7; i < words.size(); ++i) {
            if (words[i] == "labels") {
                std::string labels = "]\\[Light]\\[F1]\\[Whistle";
                for (int n = 3; n < functionCount; ++n) {
                    labels += "]\\[F" + std::to_string(n);
                }
                lines.push_back(c + " M" + words[2] + "L" + words[3] + "<;>" + labels);
            } else {
                on = numbersOf(words[i].substr(1));
            }
        }
        for (int n = 0; n < functionCount; ++n) {
            lines.push_back(header + "F" + (contains(on, n) ? "1" : "0") + std::to_string(n));
        }
        for (std::size_t i = 4; i < 7; ++i) {
            lines.push_back(header + words[i]);
        }
        return lines;
    }

    TestMainQueue queue;
    TestDeviceRegistry registry;
    RecordingLog log;
    MemoryTextView view;
    MemoryTextField field;
    MemoryButton openClose{"Open"};
    MemoryPopUpButton modes{3};
    std::unique_ptr<KESSerialPortManager> manager;
    std::unique_ptr<DCCController> cab;
    RecordingOutlet outlet;
    std::unique_ptr<WiThrottleServer> server;
    const WiThrottleServer::Clock::time_point start{std::chrono::hours(1)};
    WiThrottleServer::Clock::time_point now = start;
};

TEST_F(WiThrottleServerTest, GreetsNamesReplacesAndRefusesConnections) {
    run({
        {"1 @connect", {"1 greeting"}},
        {"1 NPixel", {"1 *10"}},
        {"@heartbeat 5", {}},
        {"1 NPixel 7", {"1 *5"}},
        {"1 HUabc", {}},
        {"1 M0+S3<;>S3", {"1 acquired 0 S3 V0 R1 s2"}},
        {"1 M0AS3<;>V30", {}},
        {"2 @connect", {"2 greeting"}},
        // The same device again: the ghost goes, its train keeps running for the new link.
        {"2 HUabc", {"1 M0-S3<;>", "1 @closed"}},
        {"1 NPixel 7", {}},
        {"@cab 3", {"= 3: speed 30, forward, 28 steps, functions none"}},
        {"2 M0+L4014<;>EBig Boy", {"2 acquired 0 L4014 V0 R1 s1 labels"}},
        {"@connections", {"= 2 |abc|no 0:4014,"}},
        {"2 Q", {"2 M0-L4014<;>", "2 @closed"}},
        {"@max 1", {}},
        {"3 @connect", {"3 greeting"}},
        {"4 @connect", {"4 HMToo many throttles connected (1); try later", "4 @closed"}},
        // Lines that are not served, or wrong, leave everything as it was.
        {"3 @blank", {}},
        {"3 \r", {}},
        {"3 TL341", {}},
        {"3 xyz", {}},
        {"3 M", {}},
        {"3 M0A", {}},
        {"3 M0+", {}},
        {"3 M0+hjs<;>hjs", {"3 HMAddress 'hjs' must be S or L and then digits"}},
        {"3 M0+S320<;>S320", {"3 HMAddress 'S320' is not a short address: S1 to S127"}},
        {"3 M0+L3<;>L3", {"3 HMAddress 'L3' is sent as a short address here: use S3"}},
        {"3 M0+L10240<;>L10240", {"3 HMAddress 'L10240' is not a long address: L128 to L10239"}},
        {"3 M0AS9<;>V5", {}},
        {"3 M0-S9<;>r", {}},
        {"@cab 9", {"= 9: not in use"}},
        {"3 PPA1", {"3 HMThis command station has no power command"}},
        {"3 @drop", {}},
        {"@station dccex", {}},
        {"5 @connect", {"5 greeting PPA2"}},
        {"5 PPA1", {"5 HMThe command station is not connected"}},
        {"@roster empty", {"5 RL0"}},
    });
}

TEST_F(WiThrottleServerTest, DrivesTheLocomotivesOfAThrottle) {
    run({
        {"1 @connect", {"1 greeting"}},
        {"1 M0+S3<;>S3", {"1 acquired 0 S3 V0 R1 s2"}},
        {"1 M0AS3<;>V63", {}},
        {"@cab 3", {"= 3: speed 64, forward, 28 steps, functions none"}},
        {"1 M0AS3<;>qV", {"1 M0AS3<;>V63"}},
        {"1 M0AS3<;>X", {"1 M0AS3<;>V-126"}},
        {"@cab 3", {"= 3: speed 0, forward, 28 steps, functions none, e-stopped"}},
        {"1 M0AS3<;>V200", {}},
        {"@cab 3", {"= 3: speed 127, forward, 28 steps, functions none"}},
        {"1 M0AS3<;>V-1", {"1 M0AS3<;>V-126"}},
        {"1 M0AS3<;>I", {"1 M0AS3<;>V0"}},
        {"1 M0AS3<;>R0", {"1 M0AS3<;>R0"}},
        {"1 M0AS3<;>R0", {}},
        // F1 latches: press toggles, release does nothing. F2 is momentary until m02.
        {"1 M0AS3<;>F11", {"1 M0AS3<;>F11"}},
        {"1 M0AS3<;>F01", {}},
        {"1 M0AS3<;>F11", {"1 M0AS3<;>F01"}},
        {"1 M0AS3<;>F12", {"1 M0AS3<;>F12"}},
        {"1 M0AS3<;>F02", {"1 M0AS3<;>F02"}},
        {"1 M0AS3<;>m02", {}},
        {"1 M0AS3<;>m15", {}},
        {"1 M0AS3<;>F12", {"1 M0AS3<;>F12"}},
        {"1 M0AS3<;>F02", {}},
        {"1 M0AS3<;>qm", {"1 qm 0 S3 5"}},
        {"1 M0AS3<;>f128", {"1 M0AS3<;>F128"}},
        {"1 M0AS3<;>f028", {"1 M0AS3<;>F028"}},
        {"1 M0AS3<;>F129", {}},
        {"1 M0AS3<;>Vfast", {}},
        {"@cab 3", {"= 3: speed 0, reverse, 28 steps, functions F2"}},
        {"1 M0AS3<;>s1", {"1 M0AS3<;>s1"}},
        {"1 M0AS3<;>s8", {"1 M0AS3<;>s8"}},
        {"1 M0AS3<;>s4", {"1 HMSpeed steps 's4' not offered: s1 (128), s2 (28) or s8 (14)"}},
        {"1 M0AS3<;>qs", {"1 M0AS3<;>s8"}},
        // A second locomotive on the same throttle, and key * for both.
        {"1 M0+S4<;>S4", {"1 acquired 0 S4 V0 R1 s2"}},
        {"1 M0+S4<;>S4", {}},
        {"1 M0A*<;>V30", {}},
        {"1 M0A*<;>R1", {"1 M0AS3<;>R1"}},
        {"1 M0A*<;>qR", {"1 M0AS3<;>R1", "1 M0AS4<;>R1"}},
        {"@cab 4", {"= 4: speed 30, forward, 28 steps, functions none"}},
        {"1 M0AS4<;>Q", {"1 M0AS4<;>V0", "1 M0-S4<;>"}},
        {"1 M0-*<;>r", {"1 M0-S3<;>"}},
        {"@cab 3", {"= 3: speed 30, forward, 14 steps, functions F2"}},
        {"@connections", {"= 1 ||no"}},
    });
}

TEST_F(WiThrottleServerTest, TellsEveryHolderWhoeverChangedTheLocomotive) {
    run({
        {"1 @connect", {"1 greeting"}},
        {"2 @connect", {"2 greeting"}},
        {"1 M0+S3<;>S3", {"1 acquired 0 S3 V0 R1 s2"}},
        {"2 M1+S3<;>S3", {"2 acquired 1 S3 V0 R1 s2"}},
        {"1 M0AS3<;>V50", {"2 M1AS3<;>V50"}},
        {"2 M1AS3<;>R0", {"1 M0AS3<;>R0", "2 M1AS3<;>R0"}},
        {"1 M0AS3<;>F10", {"1 M0AS3<;>F10", "2 M1AS3<;>F10"}},
        {"@window speed 3 127", {"1 M0AS3<;>V126", "2 M1AS3<;>V126"}},
        {"@window press 3 0", {"1 M0AS3<;>F00", "2 M1AS3<;>F00"}},
        {"@window direction 3 1", {"1 M0AS3<;>R1", "2 M1AS3<;>R1"}},
        {"2 M1AS3<;>X", {"1 M0AS3<;>V-126", "2 M1AS3<;>V-126"}},
        {"@take 1 3", {"1 M0-S3<;>"}},
        {"@connections", {"= 1 ||no", "= 2 ||no 1:3,"}},
        {"@window speed 3 10", {"2 M1AS3<;>V10"}},
    });
}

TEST_F(WiThrottleServerTest, StopsTrainsWhenAPhoneFallsSilentOrDrops) {
    run({
        {"1 @connect", {"1 greeting"}},
        {"2 @connect", {"2 greeting"}},
        {"1 *+", {}},
        {"1 M0+S3<;>S3", {"1 acquired 0 S3 V0 R1 s2"}},
        {"1 M0AS3<;>V50", {}},
        {"@at 10", {}},
        {"@at 11", {"1 M0AS3<;>V-126"}},
        {"@at 15", {}},
        {"1 *", {}},
        {"1 M0AS3<;>V20", {}},
        {"@at 25", {}},
        {"@at 26", {"1 M0AS3<;>V-126"}},
        {"@at 44", {}},
        {"@at 45", {"1 M0-S3<;>", "1 @closed"}},
        // Phone 2 never asked for monitoring: its silence is not watched.
        {"@connections", {"= 2 ||no"}},
        {"3 @connect", {"3 greeting"}},
        {"2 M0+S4<;>S4", {"2 acquired 0 S4 V0 R1 s2"}},
        {"2 M0+S5<;>S5", {"2 acquired 0 S5 V0 R1 s2"}},
        {"3 M0+S5<;>S5", {"3 acquired 0 S5 V0 R1 s2"}},
        {"2 M0A*<;>V50", {"3 M0AS5<;>V50"}},
        // A drop stops what nobody else holds; a quit leaves its trains running.
        {"2 @drop", {}},
        {"@cab 4", {"= 4: speed 0, forward, 28 steps, functions none"}},
        {"@cab 5", {"= 5: speed 50, forward, 28 steps, functions none"}},
        {"3 Q", {"3 M0-S5<;>", "3 @closed"}},
        {"@cab 5", {"= 5: speed 50, forward, 28 steps, functions none"}},
    });
}

// Every V a phone sends comes back to the other holder as itself in 128 steps, and never out of
// order in 14 and 28 steps.
TEST_F(WiThrottleServerTest, SpeedsRoundTripThroughTheCab) {
    const std::pair<const char*, bool> modes[] = {{"s1", true}, {"s2", false}, {"s8", false}};
    server->connect(1, "one", now);
    server->connect(2, "two", now);
    server->receive(1, "M0+S3<;>S3", now);
    server->receive(2, "M0+S3<;>S3", now);
    for (const auto& [code, exact] : modes) {
        SCOPED_TRACE(code);
        server->receive(1, std::string("M0AS3<;>") + code, now);
        std::int64_t last = -1;
        for (std::int64_t v = WiThrottleLine::topV; v >= 0; --v) {
            server->receive(1, "M0AS3<;>V" + std::to_string(v), now);
            outlet.lines.clear();
            server->receive(2, "M0AS3<;>qV", now);
            ASSERT_EQ(outlet.lines.size(), 1u);
            const std::int64_t reported =
                std::stoll(outlet.lines[0].substr(outlet.lines[0].find('V') + 1));
            if (exact) {
                EXPECT_EQ(reported, v);
            }
            EXPECT_TRUE(last == -1 || reported <= last) << v;
            last = reported;
        }
    }
}

} // namespace
