// dcc-board-sim: a simulated DCC command-station board on a pseudo-terminal.
//
// Prints the slave device's path on the first line of standard output, so that a script can read
// it, then one line per frame received: its bytes, what the packet means and the reply. The layout
// (every locomotive addressed so far and what it is doing) is printed on request and on exit.
//
// Threads: the board serves the line on its own thread and prints its lines from there; the main
// thread waits for signals (through a self-pipe) and for Enter on the terminal. Both print under
// one lock. The signals are blocked before the board's thread starts, so their handlers only ever
// run on the main thread.
//
// SIGPIPE is ignored: when the reader of standard output goes away the board stops printing and
// serves on, and every way out (the end of input, a quitting signal, a hang-up, an error) goes
// back through main, which removes the --link.

#include "BoardKnobs.h"
#include "SimulatedBoard.h"
#include "SimulatedDCCEX.h"
#include "SimulatedSPROG.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

// The help text; the frame time-out's default comes from BoardKnobs, so that the two agree.
std::string usage() {
    return R"(Usage: dcc-board-sim [options]

Simulates a DCC command-station board on a pseudo-terminal. The first line of output is the
slave device to open as the serial port; then each frame received is logged with its meaning
and the reply sent. A frame is N (3 to 6), N packet bytes, the error byte last; the board
answers "OK <n>" or "ERR <n> ...", one line per frame.

Options:
  --station board|dccex|sprog
                        the station to simulate (default board): the board's frames, or a
                        DCC-EX station's <...> commands, or a SPROG's "O hh hh ..." lines
                        ending in CR; the options from --delay on apply to the board only
  --link PATH           also make PATH a symbolic link to the slave device; PATH must not
                        exist yet, and the link is removed on exit
  --baseline-steps 14|28
                        how the decoders read baseline speed packets (default 28)
  --delay MS            wait MS milliseconds before each reply
  --drop-every N        do not send every N-th reply
  --split-every N       send every N-th reply in two writes
  --merge-every N       hold every N-th reply back and send it with the next one
  --garble-every N      start every N-th reply with bytes that are not UTF-8
  --silent-after N      answer only the first N frames (0: answer none)
  --hang-up-after N     close the line once the N-th frame is answered and its reply read,
                        then quit
  --frame-timeout MS    a frame not complete MS milliseconds after its last byte is dropped
                        and answered "ERR <n> incomplete" (default )" +
           std::to_string(BoardKnobs{}.frameTimeout.count()) + R"(; 0: wait for ever)
  -h, --help            show this text

While it runs: Enter (in a terminal) or SIGUSR1 prints the layout; Ctrl-C, Ctrl-D (the end
of input on its terminal), SIGTERM or SIGHUP prints it and quits.

By hand, in another terminal:
  printf '\x03\x03\x78\x7b' > /dev/pts/N     # loco 3, 28 steps: step 14, forward
  cat /dev/pts/N                             # shows the replies
)";
}

std::mutex outputMutex;
bool outputBroken = false; // under outputMutex

// Prints text on standard output. Once that fails (EPIPE: its reader has gone) nothing more is
// printed; the board keeps serving.
void say(const std::string& text) {
    const std::lock_guard lock(outputMutex);
    if (outputBroken) {
        return;
    }
    if (std::fputs(text.c_str(), stdout) == EOF || std::fflush(stdout) == EOF) {
        outputBroken = true;
        std::fprintf(stderr, "dcc-board-sim: standard output: %s; serving on without printing\n",
                     std::strerror(errno));
    }
}

int wakeWrite = -1; // the self-pipe: signal numbers, and 0 when the line has hung up

void onSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = write(wakeWrite, &byte, 1);
    errno = saved;
}

struct Options {
    std::string station = "board";
    SpeedMode baselineMode = SpeedMode::Steps28;
    BoardKnobs knobs;
    std::string link;
    bool help = false;
};

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// Fills options from the command line; returns an error message, empty when all is well.
std::string parse(int argc, char** argv, Options& options) {
    constexpr std::array<std::string_view, 11> valued{
        "--station",      "--link",          "--baseline-steps", "--delay",
        "--drop-every",   "--split-every",   "--merge-every",    "--garble-every",
        "--silent-after", "--hang-up-after", "--frame-timeout"};
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        std::string_view value;
        const auto equals = arg.find('=');
        const bool valueInline = arg.starts_with("--") && equals != arg.npos;
        if (valueInline) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        if (std::find(valued.begin(), valued.end(), arg) == valued.end()) {
            return "unknown option " + std::string(arg);
        }
        if (!valueInline) {
            if (i + 1 == argc) {
                return std::string(arg) + " needs a value";
            }
            value = argv[++i];
        }
        if (arg == "--station") {
            if (value != "board" && value != "dccex" && value != "sprog") {
                return "--station must be board, dccex or sprog";
            }
            options.station = value;
            continue;
        }
        if (arg == "--link") {
            options.link = value;
            continue;
        }
        const std::optional<std::uint64_t> n = number(value);
        if (!n) {
            return std::string(arg) + ": not a number: " + std::string(value);
        }
        auto every = [&](unsigned& field) {
            field = static_cast<unsigned>(std::min<std::uint64_t>(*n, UINT_MAX));
        };
        if (arg == "--baseline-steps") {
            if (*n != 14 && *n != 28) {
                return "--baseline-steps must be 14 or 28";
            }
            options.baselineMode = *n == 14 ? SpeedMode::Steps14 : SpeedMode::Steps28;
        } else if (arg == "--frame-timeout") {
            options.knobs.frameTimeout =
                std::chrono::milliseconds(std::min<std::uint64_t>(*n, 3'600'000));
        } else if (arg == "--delay") {
            options.knobs.replyDelay =
                std::chrono::milliseconds(std::min<std::uint64_t>(*n, 3'600'000));
        } else if (arg == "--drop-every") {
            every(options.knobs.dropEvery);
        } else if (arg == "--split-every") {
            every(options.knobs.splitEvery);
        } else if (arg == "--merge-every") {
            every(options.knobs.mergeEvery);
        } else if (arg == "--garble-every") {
            every(options.knobs.garbleEvery);
        } else if (arg == "--silent-after") {
            options.knobs.silentAfter = *n;
        } else if (arg == "--hang-up-after") {
            if (*n == 0) {
                return "--hang-up-after must be 1 or more";
            }
            options.knobs.hangUpAfter = *n;
        }
    }
    return {};
}

// The optional symbolic link to the slave device. Refuses a path that exists (another board's
// link, a stale one, anything), so that nothing of someone else's is replaced or later deleted;
// on destruction it removes the link only if it is still the one this board made.
class SlaveLink {
public:
    SlaveLink(std::string path, const std::string& target)
        : path_(std::move(path)), target_(target) {
        if (symlink(target_.c_str(), path_.c_str()) != 0) {
            if (errno == EEXIST) {
                throw std::runtime_error("--link " + path_ +
                                         ": the path exists (another board's link, or a file); "
                                         "remove it or choose another");
            }
            throw std::system_error(errno, std::generic_category(), "symlink " + path_);
        }
    }
    ~SlaveLink() {
        std::vector<char> buffer(target_.size() + 2);
        const ssize_t n = readlink(path_.c_str(), buffer.data(), buffer.size());
        if (n >= 0 && std::string_view(buffer.data(), static_cast<std::size_t>(n)) == target_) {
            unlink(path_.c_str());
        }
    }
    SlaveLink(const SlaveLink&) = delete;
    SlaveLink& operator=(const SlaveLink&) = delete;

private:
    std::string path_;
    std::string target_;
};

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char byte[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        text += byte;
    }
    return text;
}

// Set before the station starts: its commands are text, shown as such.
bool textCommands = false;

// The bytes as text, line ends and other control bytes as C escapes.
std::string printable(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char byte[8];
    for (const std::uint8_t b : bytes) {
        if (b == '\r' || b == '\n') {
            text += b == '\r' ? "\\r" : "\\n";
        } else if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else {
            std::snprintf(byte, sizeof byte, "\\x%02X", b);
            text += byte;
        }
    }
    return text + ' ';
}

void logEvent(const SimulatorEvent& event) {
    using Kind = SimulatorEvent::Kind;
    if (event.kind == Kind::HungUp || event.kind == Kind::WriteFailed ||
        event.kind == Kind::Unprompted) {
        say("-- " + event.meaning + "\n");
        if (event.kind == Kind::HungUp) {
            onSignal(0);
        }
        return;
    }
    std::string reply = event.reply;
    while (!reply.empty() && reply.back() == '\n') {
        reply.pop_back();
    }
    if (textCommands) {
        reply = printable(std::vector<std::uint8_t>(reply.begin(), reply.end()));
        reply.pop_back();
    }
    std::string head = "#" + std::to_string(event.number);
    head.resize(std::max<std::size_t>(head.size(), 5), ' ');
    head += ' ' + (textCommands ? printable(event.bytes) : hex(event.bytes));
    head.resize(std::max<std::size_t>(head.size(), 27), ' ');
    say(head + event.meaning + "  -> " + reply +
        (event.replyNote.empty() ? "" : " [" + event.replyNote + "]") + "\n");
}

void printLayout(const SimulatedStation& station) {
    const auto* board = dynamic_cast<const SimulatedBoard*>(&station);
    if (board == nullptr) {
        say("-- layout\n" + station.layout().describe());
        return;
    }
    const SimulatedBoard::Counters c = board->counters();
    say("-- layout after " + std::to_string(c.frames) +
        " good frames; faults: " + std::to_string(c.badErrorBytes) + " bad error byte, " +
        std::to_string(c.badLengths) + " bad length (" + std::to_string(c.discardedBytes) +
        " bytes skipped)\n" + board->layout().describe());
}

// Serves until a quitting signal or a hang-up. Returns the exit status.
int serve(SimulatedStation& board) {
    const bool watchStdin = isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp();
    std::vector<pollfd> fds{{-1, POLLIN, 0}, {watchStdin ? STDIN_FILENO : -1, POLLIN, 0}};
    int wakeRead = -1;
    {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::perror("dcc-board-sim: pipe2");
            return 1;
        }
        wakeRead = pipeFds[0];
        wakeWrite = pipeFds[1];
        fds[0].fd = wakeRead;
    }
    board.start();
    sigset_t quitting;
    sigemptyset(&quitting);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&quitting, s);
    }
    pthread_sigmask(SIG_UNBLOCK, &quitting, nullptr);

    bool running = true;
    while (running) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("dcc-board-sim: poll");
            break;
        }
        if (fds[0].revents != 0) {
            char signals[16];
            const ssize_t n = read(wakeRead, signals, sizeof signals);
            for (ssize_t i = 0; i < n; ++i) {
                if (signals[i] == SIGUSR1) {
                    printLayout(board);
                } else {
                    running = false;
                }
            }
        }
        if (fds[1].revents != 0) {
            char line[256];
            const ssize_t n = read(STDIN_FILENO, line, sizeof line);
            if (n > 0) {
                printLayout(board);
            } else if (n == 0) {
                running = false; // Ctrl-D: the end of input quits, as it ends cat
            } else if (errno != EINTR && errno != EAGAIN) {
                fds[1].fd = -1; // moved to the background: the signals still work
            }
        }
    }
    pthread_sigmask(SIG_BLOCK, &quitting, nullptr);
    board.stop();
    printLayout(board);
    close(wakeRead);
    close(wakeWrite);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::string error = parse(argc, argv, options); !error.empty()) {
        std::fprintf(stderr, "dcc-board-sim: %s\nTry dcc-board-sim --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }

    // Blocked before the board's thread exists, so that it inherits the mask; serve() unblocks
    // them on the main thread only.
    sigset_t handled;
    sigemptyset(&handled);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&handled, s);
        sigaction(s, &action, nullptr);
    }
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    // Reading the terminal from the background would stop the process; this makes it fail instead.
    std::signal(SIGTTIN, SIG_IGN);
    // A closed standard output would otherwise kill the process and leave the link behind.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        std::unique_ptr<SimulatedStation> station;
        textCommands = options.station != "board";
        if (options.station == "dccex") {
            station = std::make_unique<SimulatedDCCEX>(logEvent, true, options.baselineMode);
        } else if (options.station == "sprog") {
            station = std::make_unique<SimulatedSPROG>(logEvent, true, options.baselineMode);
        } else {
            station =
                std::make_unique<SimulatedBoard>(options.baselineMode, options.knobs, logEvent);
        }
        // The link first: when it cannot be made, nothing goes on standard output.
        std::optional<SlaveLink> link;
        if (!options.link.empty()) {
            link.emplace(options.link, station->slavePath());
        }
        say(station->slavePath() + "\n");
        if (link) {
            say("-- linked as " + options.link + "\n");
        }
        return serve(*station);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dcc-board-sim: %s\n", error.what());
        return 1;
    }
}
