// Each kind of command station against the real program: `dcc-cab --headless --simulate --station
// KIND --script -` as a child, its built-in simulated station answering on a pseudo-terminal. The
// bench reads the child's standard output, where the station prints one line for every command it
// took, and gives the child a speed command (to one of a few locomotives in turn) each time the
// station has taken the writes one command makes, so the cab's queues never run dry and a
// command seldom replaces one still waiting to go out. A script file would not do: the cab reads
// a file as fast as it runs it, and every speed for a locomotive would replace the last.
//
//   station_bench table DCC_CAB [ROUNDS] [SECONDS]   the rows of bench/run's table, each kind
//                                                    measured for SECONDS a round
//
// The line's own limit beside each figure is computed from the bytes each write takes on the
// wire both ways, 10 bits a byte: a pseudo-terminal does not pace its bytes. Run through
// bench/parts/stations.sh, never by CTest.

#include "ChildCpu.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// What sets a kind of station apart on the wire.
struct Kind {
    const char* option;   // --station
    const char* name;     // in the table
    int baud;             // the station's usual line
    int writesPerCommand; // writes one speed command makes: DCC-EX once, the others 4 + 4
};

const Kind kinds[] = {
    {"board", "board", 38400, 8},
    {"dccex", "DCC-EX", 115200, 1},
    {"sprog", "SPROG", 9600, 8},
};

constexpr int locomotives = 8;
// Left out at the start: the program's start and its first exchanges with the station.
constexpr std::chrono::milliseconds warmUp{300};
// With no station line for this long the cab has run dry (a command replaced another): the next
// command goes at once.
constexpr int quietMs = 20;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "station_bench: %s\n", what.c_str());
    std::exit(1);
}

std::size_t digits(long value) {
    return std::to_string(value).size();
}

// Counts the bytes of each write and of its reply from the station's lines, as the station
// answers them (the replies are not printed; their form is known).
class WireBytes {
public:
    explicit WireBytes(const Kind& kind) : kind_(kind) {}

    // Takes the text after "station #N" / "board #N"; true when the line ends a write.
    bool take(std::uint64_t number, const std::string& rest) {
        const std::string option = kind_.option;
        if (option == "board") {
            // Hex bytes of the frame, then the meaning. Reply: "OK <n>\n".
            std::istringstream words(rest);
            std::string word;
            std::size_t bytes = 0;
            while (words >> word && word.size() == 2 && std::isxdigit(word[0]) != 0 &&
                   std::isxdigit(word[1]) != 0) {
                ++bytes;
            }
            add(bytes, 4 + digits(static_cast<long>(number)));
            return true;
        }
        const std::size_t start = rest.find_first_not_of(' ');
        if (option == "sprog") {
            if (start == std::string::npos || rest.compare(start, 2, "O ") != 0) {
                return false;
            }
            // "O hh hh .." and its '\r'; reply "\r\nP> ".
            std::size_t end = start + 1;
            while (end + 2 < rest.size() && rest[end] == ' ' && std::isxdigit(rest[end + 1]) != 0 &&
                   std::isxdigit(rest[end + 2]) != 0) {
                end += 3;
            }
            add(end - start + 1, 5);
            return true;
        }
        // DCC-EX: the command and its "<#>" go in one write; "<# 50>\n" answers the second, and
        // "<l cab slot speedbyte functions>\n" reports each changed speed.
        const std::size_t close = rest.find('>', start);
        if (start == std::string::npos || close == std::string::npos) {
            return false;
        }
        const std::string command = rest.substr(start, close - start + 1);
        pendingOut_ += command.size();
        if (command != "<#>") {
            pendingBack_ += reportBytes(command);
            return false;
        }
        add(pendingOut_, pendingBack_ + 7);
        pendingOut_ = 0;
        pendingBack_ = 0;
        return true;
    }

    double meanOut() const { return writes_ ? static_cast<double>(out_) / writes_ : 0; }
    double meanBack() const { return writes_ ? static_cast<double>(back_) / writes_ : 0; }
    void restart() { out_ = back_ = writes_ = 0; }

private:
    void add(std::size_t out, std::size_t back) {
        out_ += out;
        back_ += back;
        ++writes_;
    }

    // The <l ..> line a <t cab speed dir> brings back; slots in the order cabs were first seen.
    std::size_t reportBytes(const std::string& command) {
        int cab = 0, speed = 0, direction = 0;
        if (std::sscanf(command.c_str(), "<t %d %d %d>", &cab, &speed, &direction) != 3) {
            return 0;
        }
        const auto slot = slots_.emplace(cab, slots_.size()).first->second;
        const int speedByte = (direction == 1 ? 128 : 0) + (speed <= 0 ? -speed : speed + 1);
        // "<l " cab " " slot " " speedbyte " 0>\n"
        return 3 + digits(cab) + 1 + digits(static_cast<long>(slot)) + 1 + digits(speedByte) + 4;
    }

    const Kind& kind_;
    std::uint64_t out_ = 0, back_ = 0, writes_ = 0;
    std::size_t pendingOut_ = 0, pendingBack_ = 0;
    std::map<int, std::size_t> slots_;
};

struct Figures {
    double writesPerSecond = 0;
    double cpuPerCommandUs = 0;
    double bytesOut = 0;
    double bytesBack = 0;
};

Figures runOnce(const Kind& kind, const char* program, std::chrono::milliseconds measured) {
    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        fail("no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> arguments{program,     "--headless", "--simulate", "--station",
                                       kind.option, "--script",   "-"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    if (::posix_spawn(&child, program, &actions, nullptr, argv.data(), environ) != 0) {
        fail(std::string("cannot start ") + program);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);

    std::uint64_t commands = 0;
    auto give = [&] {
        // Locomotives 1 to 8 in turn, each at a speed other than its last.
        const std::uint64_t turn = commands++;
        const std::string text = "setLocoAddress " + std::to_string(1 + turn % locomotives) +
                                 "\nsendSpeedChange " +
                                 std::to_string(30 + (turn / locomotives) % 2 * 40) + "\n";
        [[maybe_unused]] const ssize_t ignored = ::write(input[1], text.data(), text.size());
    };

    WireBytes bytes(kind);
    std::uint64_t writes = 0, sinceCommand = 0, startWrites = 0, startCommands = 0;
    double startCpu = 0, cpu = 0;
    Clock::time_point first, start, end;
    bool measuring = false, done = false;
    std::string pending;
    char chunk[65536];
    for (int i = 0; i < 4; ++i) {
        give();
    }
    while (!done) {
        pollfd ready{output[0], POLLIN, 0};
        const int polled = ::poll(&ready, 1, quietMs);
        if (polled == 0) {
            give();
            continue;
        }
        const ssize_t count = ::read(output[0], chunk, sizeof chunk);
        if (count <= 0) {
            fail(std::string(kind.option) + ": the program stopped early");
        }
        pending.append(chunk, static_cast<std::size_t>(count));
        std::size_t from = 0;
        for (std::size_t newline; (newline = pending.find('\n', from)) != std::string::npos;
             from = newline + 1) {
            const std::string line = pending.substr(from, newline - from);
            const std::size_t hash = line.find('#');
            if (hash == std::string::npos ||
                (line.rfind(" station #", 0) != 0 && line.rfind(" board #", 0) != 0)) {
                continue;
            }
            const std::uint64_t number = std::strtoull(line.c_str() + hash + 1, nullptr, 10);
            const std::string rest = line.substr(line.find(' ', hash));
            if (!bytes.take(number, rest)) {
                continue;
            }
            ++writes;
            if (++sinceCommand == static_cast<std::uint64_t>(kind.writesPerCommand)) {
                sinceCommand = 0;
                give();
            }
            const Clock::time_point now = Clock::now();
            if (writes == 1) {
                first = now;
            } else if (!measuring && now - first >= warmUp) {
                measuring = true;
                start = now;
                startCpu = childCpuSeconds(child);
                startWrites = writes;
                startCommands = commands;
                bytes.restart();
            } else if (measuring && now - start >= measured) {
                end = now;
                cpu = childCpuSeconds(child) - startCpu;
                done = true;
                break;
            }
        }
        pending.erase(0, from);
    }
    const std::uint64_t measuredCommands = commands - startCommands;
    const std::string quit = "quit\n";
    [[maybe_unused]] const ssize_t ignored = ::write(input[1], quit.data(), quit.size());
    ::close(input[1]);
    // Drained so that the child never blocks on a full pipe while it quits.
    while (::read(output[0], chunk, sizeof chunk) > 0) {
    }
    ::close(output[0]);
    int status = 0;
    ::waitpid(child, &status, 0);

    Figures figures;
    const double seconds = std::chrono::duration<double>(end - start).count();
    figures.writesPerSecond = static_cast<double>(writes - startWrites) / seconds;
    figures.cpuPerCommandUs = cpu / static_cast<double>(measuredCommands) * 1e6;
    figures.bytesOut = bytes.meanOut();
    figures.bytesBack = bytes.meanBack();
    return figures;
}

struct Spread {
    double median, least, most;
};

Spread spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

std::string shown(const Spread& figure, const char* unit) {
    char text[128];
    const char* format = figure.median < 100 ? "%.1f %s [%.1f-%.1f]" : "%.0f %s [%.0f-%.0f]";
    std::snprintf(text, sizeof text, format, figure.median, unit, figure.least, figure.most);
    return text;
}

int runTable(const char* program, int rounds, std::chrono::milliseconds measured) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::vector<Figures>> byKind;
    for (int round = 1; round <= rounds; ++round) {
        for (const Kind& kind : kinds) {
            std::fprintf(stderr, "stations: round %d of %d, %s\n", round, rounds, kind.name);
            byKind[kind.option].push_back(runOnce(kind, program, measured));
        }
    }
    for (const Kind& kind : kinds) {
        const std::vector<Figures>& runs = byKind[kind.option];
        auto column = [&](double Figures::*field) {
            std::vector<double> values;
            for (const Figures& figures : runs) {
                values.push_back(figures.*field);
            }
            return spread(values);
        };
        const double out = column(&Figures::bytesOut).median;
        const double back = column(&Figures::bytesBack).median;
        const double writeSeconds = (out + back) * 10 / kind.baud;
        const double commandUs = writeSeconds * kind.writesPerCommand * 1e6;
        const Spread rate = column(&Figures::writesPerSecond);
        const Spread cpu = column(&Figures::cpuPerCommandUs);
        std::printf("| %s, headless --simulate: writes answered per second | %s | %.0f /s at %d "
                    "baud (computed: (%.1f out + %.1f back bytes) x 10 bits) | %.1fx | - | - |\n",
                    kind.name, shown(rate, "/s").c_str(), 1 / writeSeconds, kind.baud, out, back,
                    rate.median * writeSeconds);
        std::printf("| %s, headless --simulate: CPU per speed command (%d write%s) | %s | %.0f us "
                    "on the line per command (computed) | %.4fx | - | - |\n",
                    kind.name, kind.writesPerCommand, kind.writesPerCommand == 1 ? "" : "s",
                    shown(cpu, "us").c_str(), commandUs, cpu.median / commandUs);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "table" && argc >= 3) {
        const double seconds = argc > 4 ? std::atof(argv[4]) : 2.0;
        return runTable(argv[2], argc > 3 ? std::atoi(argv[3]) : 5,
                        std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    }
    std::fputs("usage: station_bench table DCC_CAB [ROUNDS] [SECONDS]\n", stderr);
    return 2;
}
