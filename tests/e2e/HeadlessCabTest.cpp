#include "PseudoTerminalPair.h"
#include "WorkedSequences.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// dcc-cab --headless as a child process: its standard input a pipe the test writes the script
// into, its standard output and error kept in files.
class HeadlessCab {
public:
    explicit HeadlessCab(std::vector<std::string> arguments) {
        char directory[] = "/tmp/dcc-e2e-XXXXXX";
        directory_ = ::mkdtemp(directory);
        int input[2];
        EXPECT_EQ(::pipe2(input, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (directory_ + "/out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (directory_ + "/err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        arguments.insert(arguments.begin(), {DCC_CAB_PROGRAM, "--headless"});
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&pid_, DCC_CAB_PROGRAM, &actions, nullptr, argv.data(), environ),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        input_ = input[1];
    }

    ~HeadlessCab() {
        closeInput();
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::system(("rm -rf " + directory_).c_str());
    }

    // One write, so that the lines arrive, and run, together.
    void type(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) {
            text += line + "\n";
        }
        ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput() {
        if (input_ >= 0) {
            ::close(input_);
            input_ = -1;
        }
    }

    void signal(int number) const { ::kill(pid_, number); }

    // The exit status once it has exited; -1 while it runs.
    int exitStatus() {
        int raw = 0;
        if (status_ < 0 && ::waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        return status_;
    }

    std::string output(const char* which) const {
        std::ifstream file(directory_ + "/" + which);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    std::string directory_;
    pid_t pid_ = -1;
    int input_ = -1;
    int status_ = -1;
};

// Bytes of the reply "OK\n" as a terminal in its own settings echoes them ("\r\n" for "\n").
bool isEcho(std::uint8_t byte) {
    return byte == 'O' || byte == 'K' || byte == '\r' || byte == '\n';
}

// Plays the board: answers every frame with a reply until the cab has exited, and answers the
// frames in the order they came. A frame is its length byte and as many bytes after it.
std::vector<Bytes> playBoard(const PseudoTerminalPair& line, HeadlessCab& cab) {
    std::vector<Bytes> frames;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // What the cab wrote before it ended is still read: it can quit before the board looks.
    while ((cab.exitStatus() < 0 || line.hasData()) && std::chrono::steady_clock::now() < giveUp) {
        pollfd ready{line.master(), POLLIN, 0};
        if (::poll(&ready, 1, 20) != 1) {
            continue;
        }
        Bytes frame = line.read(1);
        if (isEcho(frame[0])) {
            // A port restores the terminal's own settings, echo among them, as it closes: a reply
            // that arrives just then comes back from the line. It is the kernel's, not the cab's.
            line.readAvailable();
            continue;
        }
        const Bytes rest = line.read(frame[0]);
        frame.insert(frame.end(), rest.begin(), rest.end());
        frames.push_back(frame);
        line.write({'O', 'K', '\n'});
    }
    EXPECT_GE(cab.exitStatus(), 0) << "the cab did not end";
    const Bytes after = line.readAvailable();
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), isEcho))
        << "nothing but the echo of a reply is written after the cab has gone";
    return frames;
}

// A packet repeated as the dispatcher repeats it when it is alone: four times from queue 0 and
// four from queue 1, or four from queue 1, with the idle packet between writes.
std::vector<Bytes> repeated(const Bytes& frame, int priority) {
    const Bytes idle = workedSequenceWire().at("IDLE");
    std::vector<Bytes> frames{frame};
    for (int i = 1; i < (priority == 0 ? 8 : 4); ++i) {
        frames.push_back(idle);
        frames.push_back(frame);
    }
    return frames;
}

// frame, the idle packet, then frames: a record written once, then rewritten.
std::vector<Bytes> after(const Bytes& frame, std::vector<Bytes> frames) {
    frames.insert(frames.begin(), {frame, workedSequenceWire().at("IDLE")});
    return frames;
}

std::vector<Bytes> worked(const char* title) {
    for (const WorkedSequence& sequence : workedSequences()) {
        if (std::string(sequence.title) == title) {
            std::vector<Bytes> frames;
            for (const std::string& name : sequence.expected) {
                frames.push_back(workedSequenceWire().at(name));
            }
            return frames;
        }
    }
    ADD_FAILURE() << "no worked sequence " << title;
    return {};
}

struct ScriptCase {
    const char* name;
    std::vector<std::string> script;
    std::vector<Bytes> wire;
    std::vector<std::string> saidOnStandardError = {};
    int exitStatus = 0;
};

void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadlessCabScriptTest : public testing::TestWithParam<ScriptCase> {};

TEST_P(HeadlessCabScriptTest, PutsTheFramesOnTheWireInOrderAndEndsWithItsInput) {
    const ScriptCase& c = GetParam();
    PseudoTerminalPair line;
    HeadlessCab cab({"--port", line.slavePath()});
    cab.type(c.script);
    cab.closeInput();
    EXPECT_EQ(playBoard(line, cab), c.wire);
    EXPECT_EQ(cab.exitStatus(), c.exitStatus) << cab.output("err");
    for (const std::string& said : c.saidOnStandardError) {
        EXPECT_NE(cab.output("err").find(said), std::string::npos) << cab.output("err");
    }
}

const Bytes speed64{0x03, 0x03, 0x78, 0x7B};

INSTANTIATE_TEST_SUITE_P(
    Scripts, HeadlessCabScriptTest,
    testing::Values(
        ScriptCase{
            "speed", {"# speed 64 in 28 steps", "", "sendSpeedChange 64"}, worked("priority0")},
        ScriptCase{"speedThenHeadlight",
                   {"sendSpeedChange 64", "headlight"},
                   worked("speedThenHeadlight")},
        ScriptCase{"stop", {"sendStop"}, repeated({0x03, 0x03, 0x60, 0x63}, 0)},
        ScriptCase{"emergencyStop", {"sendEmergencyStop"}, repeated({0x03, 0x03, 0x61, 0x62}, 1)},
        ScriptCase{
            "stopAll", {"sendBroadcastEmergencyStop"}, repeated({0x03, 0x00, 0x71, 0x71}, 1)},
        ScriptCase{"reset", {"sendReset"}, repeated({0x03, 0x00, 0x00, 0x00}, 1)},
        ScriptCase{"idle", {"sendIdle"}, repeated(workedSequenceWire().at("IDLE"), 1)},
        ScriptCase{"longAddress",
                   {"setLocoAddress 1000", "sendSpeedChange 64"},
                   repeated({0x04, 0xC3, 0xE8, 0x78, 0x53}, 0)},
        // A new mode and a new direction go out at once, in the speed packet at speed 0; the
        // speed that follows takes the same record over.
        ScriptCase{"fourteenSteps",
                   {"setSpeedMode 0", "sendSpeedChange 64"},
                   after({0x03, 0x03, 0x60, 0x63}, repeated({0x03, 0x03, 0x68, 0x6B}, 0))},
        ScriptCase{
            "hundredTwentyEightSteps",
            {"setSpeedMode 2", "sendSpeedChange 64"},
            after({0x04, 0x03, 0x3F, 0x80, 0xBC}, repeated({0x04, 0x03, 0x3F, 0xC1, 0xFD}, 0))},
        ScriptCase{"reverse",
                   {"sendDirectionChange", "sendSpeedChange 64"},
                   after({0x03, 0x03, 0x40, 0x43}, repeated({0x03, 0x03, 0x58, 0x5B}, 0))},
        // Wrong lines are reported with their numbers, change nothing on the wire and make the
        // exit status 3; a line too long is one of them, and the lines after it run.
        ScriptCase{"wrongLinesChangeNothing",
                   {"bogus 1", "setSpeedMode 3", "sendSpeedChange 64x", "headlight on",
                    "send " + std::string(100000, 'A'), "sendSpeedChange 64   # a comment"},
                   worked("priority0"),
                   {"script line 1: unknown command 'bogus'", "script line 2:", "script line 3:",
                    "script line 4:", "script line 5: longer than 4096 bytes",
                    "5 script lines were refused"},
                   3},
        // Quitting mid-stream: the frame on its way goes, nothing after it.
        ScriptCase{"quitMidStream", {"sendSpeedChange 64", "quit", "sendStop"}, {speed64}}),
    [](const testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

TEST(HeadlessCabTest, StatusTellsTheLocomotiveAndTheLastPacket) {
    PseudoTerminalPair line;
    HeadlessCab cab({"--port", line.slavePath()});
    cab.type({"sendSpeedChange 64", "status", "quit"});
    cab.closeInput();
    playBoard(line, cab);
    EXPECT_NE(cab.output("out").find("\nstatus: address 3, 28 steps, speed 64, step 14, FORWARD, "
                                     "headlight OFF, port open, packet 00000011 01111000 "
                                     "01111011, functions on: none\n"),
              std::string::npos)
        << cab.output("out");
}

// Polls condition every 10 ms until it holds or 20 seconds have passed; answers whether it held.
bool eventually(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition() && std::chrono::steady_clock::now() < giveUp) {
        ::poll(nullptr, 0, 10);
    }
    return condition();
}

TEST(HeadlessCabTest, ABoardThatHangsUpEndsTheRunWithAClearMessage) {
    PseudoTerminalPair line;
    HeadlessCab cab({"--port", line.slavePath()});
    cab.type({"sendSpeedChange 64"});
    EXPECT_EQ(line.read(4), speed64);
    line.closeMaster();
    EXPECT_TRUE(eventually([&] { return cab.exitStatus() >= 0; }));
    EXPECT_EQ(cab.exitStatus(), 1);
    EXPECT_NE(cab.output("err").find("hung up"), std::string::npos) << cab.output("err");
}

// Two locomotives driven in turn: each keeps its own speed and functions, and choosing one sends
// nothing. On the simulated station the board's layout at the end shows both.
TEST(HeadlessCabTest, DrivesTwoLocomotivesInTurn) {
    const std::vector<std::string> script{
        "setLocoAddress 5", "sendSpeedChange 64", "waitUntilIdle",     "setFunction 1 on",
        "waitUntilIdle",    "setLocoAddress 7",   "setFunction 5 on",  "waitUntilIdle",
        "pressFunction 2",  "waitUntilIdle",      "releaseFunction 2", "waitUntilIdle",
        "status",           "setLocoAddress 5",   "waitUntilIdle",     "status"};
    PseudoTerminalPair line;
    HeadlessCab cab({"--port", line.slavePath()});
    cab.type(script);
    cab.closeInput();
    std::vector<Bytes> wire;
    for (const std::vector<Bytes>& frames : {
             repeated({0x03, 0x05, 0x78, 0x7D}, 0), // 5: speed 64, step 14
             repeated({0x03, 0x05, 0x81, 0x84}, 1), // 5: F1 on
             repeated({0x03, 0x07, 0xB1, 0xB6}, 1), // 7: F5 on
             repeated({0x03, 0x07, 0x82, 0x85}, 1), // 7: F2 pressed
             // The release goes in the record the press went in: the idle packet between them.
             std::vector<Bytes>{workedSequenceWire().at("IDLE")},
             repeated({0x03, 0x07, 0x80, 0x87}, 1), // 7: F2 released
         }) {
        wire.insert(wire.end(), frames.begin(), frames.end());
    }
    EXPECT_EQ(playBoard(line, cab), wire);
    EXPECT_EQ(cab.exitStatus(), 0) << cab.output("err");
    const std::string out = cab.output("out");
    const std::size_t seven = out.find("\nstatus: address 7, 28 steps, speed 0, step 0, FORWARD, "
                                       "headlight OFF, port open, packet 00000111 10000000 "
                                       "10000111, functions on: F5\n");
    const std::size_t five = out.find("\nstatus: address 5, 28 steps, speed 64, step 14, FORWARD, "
                                      "headlight OFF, port open, packet 00000111 10000000 "
                                      "10000111, functions on: F1\n");
    EXPECT_NE(seven, std::string::npos) << out;
    EXPECT_NE(five, std::string::npos) << out;
    EXPECT_LT(seven, five) << out;

    HeadlessCab simulated({"--simulate"});
    simulated.type(script);
    simulated.closeInput();
    EXPECT_TRUE(eventually([&] { return simulated.exitStatus() >= 0; }));
    const std::string layout = simulated.output("out");
    EXPECT_NE(layout.find("\nloco 5: step 14 of 28, forward, F1 on\nloco 7: "), std::string::npos)
        << layout;
    EXPECT_NE(layout.find("forward, F5 on\n"), std::string::npos) << layout;
}

TEST(HeadlessCabTest, AReopeningThatFailsEndsTheRunWithStatusOne) {
    PseudoTerminalPair line;
    HeadlessCab cab({"--port", line.slavePath()});
    cab.type({"openOrClosePort", "status"});
    EXPECT_TRUE(
        eventually([&] { return cab.output("out").find("port closed") != std::string::npos; }));
    line.closeMaster();
    cab.type({"openOrClosePort", "sendStop"});
    cab.closeInput();
    EXPECT_TRUE(eventually([&] { return cab.exitStatus() >= 0; }));
    EXPECT_EQ(cab.exitStatus(), 1);
    EXPECT_NE(cab.output("err").find("dcc-cab: cannot open "), std::string::npos)
        << cab.output("err");
}

// A wait lasts its time also when the dispatcher was idle before it; waits that end at once
// follow each other by the hundred thousand.
TEST(HeadlessCabTest, AWaitLastsItsTimeAfterAnIdleDispatcher) {
    PseudoTerminalPair line;
    const auto started = std::chrono::steady_clock::now();
    HeadlessCab waiting({"--port", line.slavePath()});
    waiting.type({"waitUntilIdle", "wait 400", "quit"});
    waiting.closeInput();
    EXPECT_TRUE(playBoard(line, waiting).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));

    // From a file, which is there whole at once.
    char path[] = "/tmp/dcc-e2e-script-XXXXXX";
    const int file = ::mkstemp(path);
    std::string script;
    for (int i = 0; i < 200000; ++i) {
        script += "waitUntilIdle\n";
    }
    script += "sendStop\n";
    EXPECT_EQ(::write(file, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    ::close(file);
    HeadlessCab cab({"--port", line.slavePath(), "--script", path});
    EXPECT_EQ(playBoard(line, cab), repeated({0x03, 0x03, 0x60, 0x63}, 0));
    EXPECT_EQ(cab.exitStatus(), 0) << cab.output("err");
    ::unlink(path);
}

// A script that cannot be read ends the run before any frame; an empty one is a script that
// does nothing.
TEST(HeadlessCabTest, AScriptThatCannotBeReadEndsTheRunBeforeAnyFrame) {
    const struct {
        const char* path;
        int status;
        const char* said;
    } cases[] = {{"/nonexistent/demo.dcc", 1, "cannot read the script /nonexistent/demo.dcc: No "},
                 {"/tmp", 1, "cannot read the script /tmp: Is a directory"},
                 {"/dev/null", 0, ""}};
    for (const auto& c : cases) {
        PseudoTerminalPair line;
        HeadlessCab cab({"--port", line.slavePath(), "--script", c.path});
        EXPECT_TRUE(playBoard(line, cab).empty()) << c.path;
        EXPECT_EQ(cab.exitStatus(), c.status) << c.path << cab.output("err");
        EXPECT_NE(cab.output("err").find(c.said), std::string::npos) << cab.output("err");
    }
}

} // namespace

namespace {

// One run per kind of station against its own simulator: two locomotives, a function, an
// emergency stop, track power off and on, stop all. What each simulator made of it is the
// layout the run prints at its end.
struct StationRun {
    const char* station;
    std::vector<std::string> layout; // lines of the layout at the end
    const char* statusEnd;           // how the status lines end
};

void PrintTo(const StationRun& run, std::ostream* os) {
    *os << run.station;
}

class HeadlessStationTest : public testing::TestWithParam<StationRun> {};

TEST_P(HeadlessStationTest, DrivesItsSimulatedStationEndToEnd) {
    const StationRun& run = GetParam();
    HeadlessCab cab({"--simulate", "--station", run.station});
    cab.type({"setLocoAddress 3", "sendSpeedChange 64", "setFunction 1 on", "setLocoAddress 1000",
              "setSpeedMode 2", "sendSpeedChange 100", "waitUntilIdle", "sendEmergencyStop",
              "powerOff", "waitUntilIdle", "powerOn", "setLocoAddress 3", "sendSpeedChange 32",
              "waitUntilIdle", "status", "sendBroadcastEmergencyStop", "waitUntilIdle"});
    cab.closeInput();
    ASSERT_TRUE(eventually([&] { return cab.exitStatus() >= 0; }));
    EXPECT_EQ(cab.exitStatus(), 0) << cab.output("err");
    const std::string out = cab.output("out");
    for (const std::string& line : run.layout) {
        EXPECT_NE(out.find("\n" + line + "\n"), std::string::npos) << line << "\n" << out;
    }
    EXPECT_NE(out.find("functions on: F1" + std::string(run.statusEnd)), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Stations, HeadlessStationTest,
    testing::Values(
        StationRun{"board",
                   {"loco 3: emergency stopped (28 steps), forward, F1 on",
                    "loco 1000 (long): emergency stopped (28 steps), forward, functions off"},
                   "\n"},
        StationRun{"dccex",
                   {"loco 3: emergency stopped (128 steps), forward, F1 on",
                    "loco 1000 (long): emergency stopped (128 steps), forward, functions off"},
                   ", station DCC-EX, power on (DCC-EX V-5.0.0 / SIMULATED / DCC Cab)\n"},
        StationRun{"sprog",
                   {"loco 3: emergency stopped (28 steps), forward, F1 on",
                    "loco 1000 (long): emergency stopped (28 steps), forward, functions off"},
                   ", station SPROG, power on (SPROG 3 Ver 4.6 (simulated))\n"}),
    [](const testing::TestParamInfo<StationRun>& info) { return std::string(info.param.station); });

} // namespace

namespace {

// A phone throttle on TCP: what it says goes out with its own line ending, what it hears is kept
// line by line as it comes.
class Phone {
public:
    explicit Phone(int port, std::string ending = "\n") : ending_(std::move(ending)) {
        descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(
            ::connect(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~Phone() { ::close(descriptor_); }
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    void say(const std::string& bytes) { sayRaw(bytes + ending_); }
    void sayRaw(const std::string& bytes) {
        ASSERT_EQ(::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Whether line comes (or came) within 20 seconds.
    bool hears(const std::string& line) {
        return listenUntil([&] { return std::count(heard_.begin(), heard_.end(), line) > 0; });
    }
    // Whether the server hangs up within 20 seconds.
    bool hangsUp() {
        return listenUntil([&] { return ended_; });
    }
    const std::vector<std::string>& heard() const { return heard_; }

private:
    bool listenUntil(const std::function<bool()>& done) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && !ended_ && std::chrono::steady_clock::now() < giveUp) {
            pollfd ready{descriptor_, POLLIN, 0};
            if (::poll(&ready, 1, 10) != 1) {
                continue;
            }
            char bytes[4096];
            const ssize_t count = ::recv(descriptor_, bytes, sizeof bytes, 0);
            if (count <= 0) {
                ended_ = true;
                break;
            }
            partial_.append(bytes, static_cast<std::size_t>(count));
            for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
                heard_.push_back(partial_.substr(0, end));
                partial_.erase(0, end + 1);
            }
        }
        return done();
    }

    int descriptor_ = -1;
    std::string ending_;
    std::string partial_;
    std::vector<std::string> heard_;
    bool ended_ = false;
};

// The port a headless run serves phones on, once it has said so on standard error; 0 before.
int phonePort(const HeadlessCab& cab) {
    const std::string said = "phone throttles (WiThrottle) on port ";
    const std::string err = cab.output("err");
    const std::size_t at = err.find(said);
    return at == std::string::npos ? 0 : std::atoi(err.c_str() + at + said.size());
}

// Two phones share a locomotive; the one that asked to be watched and then falls silent has its
// train emergency-stopped (the other holder is told, the station sees the packet) and is then
// hung up on. The run outlasts its script until SIGTERM.
TEST(HeadlessCabTest, PhonesShareALocomotiveAndASilentPhoneHasItsTrainsStopped) {
    HeadlessCab cab({"--simulate", "--withrottle=0", "--heartbeat", "1"});
    cab.closeInput();
    ASSERT_TRUE(eventually([&] { return phonePort(cab) > 0; })) << cab.output("err");
    Phone a(phonePort(cab));
    Phone b(phonePort(cab), "\r\n");
    EXPECT_TRUE(a.hears("VN2.0"));
    EXPECT_TRUE(b.hears("VN2.0"));

    a.say("NPhone A");
    a.say("M0+S3<;>S3");
    a.say("M0+L1000<;>L1000");
    EXPECT_TRUE(a.hears("M0+L1000<;>"));
    a.say("M0AS3<;>V50");
    a.say("M0AL1000<;>V20");
    b.say("NPhone B");
    EXPECT_TRUE(b.hears("*1"));
    b.say("M0+S3<;>S3");
    EXPECT_TRUE(b.hears("M0AS3<;>V50"));
    a.say("M0AS3<;>V80");
    EXPECT_TRUE(b.hears("M0AS3<;>V80"));

    b.say("*+");
    EXPECT_TRUE(a.hears("M0AS3<;>V-126"));
    EXPECT_TRUE(eventually([&] {
        return cab.output("out").find("emergency stop") != std::string::npos;
    })) << cab.output("out");
    EXPECT_TRUE(b.hears("M0-S3<;>"));
    EXPECT_TRUE(b.hangsUp());

    a.say("Q");
    EXPECT_TRUE(a.hangsUp());
    EXPECT_EQ(cab.exitStatus(), -1) << "the run ended with its script";
    cab.signal(SIGTERM);
    ASSERT_TRUE(eventually([&] { return cab.exitStatus() >= 0; }));
    EXPECT_EQ(cab.exitStatus(), 0) << cab.output("err");
}

// How lines from a phone are cut and which are taken, each row on a connection of its own to the
// same run: every "N" line taken is answered "*10", and a marker acquire after the row's bytes
// tells when all of them have been read.
TEST(HeadlessCabTest, PhoneLinesEndAtAnyLineEndingAndBadOnesAreSkipped) {
    struct Row {
        const char* name;
        std::string bytes;
        long taken;  // "N" lines answered
        long alerts; // "HM" lines
    };
    const std::string longest = "N" + std::string(4095, 'a');
    const std::vector<Row> rows{
        {"every line ending", "N1\rN2\r\nN3\n", 3, 0},
        {"blank lines", "\n\r\n\r\rN1\n\n", 1, 0},
        {"the longest line", longest + "\n", 1, 0},
        {"a line too long, dropped to its end", longest + "bb\r" + longest + "cc\nN1\n", 1, 2},
        {"UTF-8 taken", "N\xC3\xBC\xE2\x82\xAC\xF0\x9F\x9A\x82\n", 1, 0},
        {"an overlong form", "N\xC0\xAF\n", 0, 0},
        {"a surrogate", "N\xED\xA0\x80\n", 0, 0},
        {"a cut sequence", "N\xE2\x82\nN1\n", 1, 0},
        {"above U+10FFFF", "N\xF4\x90\x80\x80\n", 0, 0},
    };
    HeadlessCab cab({"--simulate", "--withrottle=0"});
    ASSERT_TRUE(eventually([&] { return phonePort(cab) > 0; })) << cab.output("err");
    for (const Row& row : rows) {
        Phone phone(phonePort(cab));
        phone.sayRaw(row.bytes + "M9+S5<;>S5\n");
        ASSERT_TRUE(phone.hears("M9+S5<;>")) << row.name;
        const auto& heard = phone.heard();
        const auto marker = std::find(heard.begin(), heard.end(), "M9+S5<;>");
        EXPECT_EQ(std::count(heard.begin(), marker, "*10"), row.taken) << row.name;
        EXPECT_EQ(std::count_if(heard.begin(), marker,
                                [](const std::string& line) { return line.rfind("HM", 0) == 0; }),
                  row.alerts)
            << row.name;
    }

    // A second run cannot serve phones on the same port, and says so.
    const std::string port = std::to_string(phonePort(cab));
    HeadlessCab second({"--simulate", "--withrottle=" + port});
    ASSERT_TRUE(eventually([&] { return second.exitStatus() >= 0; }));
    EXPECT_EQ(second.exitStatus(), 1);
    EXPECT_NE(second.output("err").find("port " + port + " is in use; choose another"),
              std::string::npos)
        << second.output("err");
    cab.type({"quit"});
    ASSERT_TRUE(eventually([&] { return cab.exitStatus() >= 0; }));
    EXPECT_EQ(cab.exitStatus(), 0) << cab.output("err");
}

} // namespace
