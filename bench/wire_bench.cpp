// The wire's stop-and-wait turnaround: one frame out, the board's reply back, the next frame out.
// The board (WireBoard, on the master side of a pseudo-terminal) is the same for every writer:
//   raw       a bare writer thread on the slave, set raw as the port sets it: the limit;
//   headless  the real `dcc-cab --headless --port SLAVE --script -` as a child, its queues kept
//             busy by script lines written to its standard input every few frames;
//   window    the real window, in this process under Qt's offscreen platform, commanded through
//             its own speed slider and headlight button.
// Each of those runs in a process of its own and writes one line of figures on descriptor 3;
// `wire_bench table DCC_CAB [ROUNDS] [FRAMES]` runs them in turn, round after round, and prints
// the rows of bench/run's table. Run through bench/parts/wire.sh, never by CTest.

#include "DCCCabCommandLine.h"
#include "DCCController.h"
#include "InstalledService.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "LogindPowerEvents.h"
#include "MainWindow.h"
#include "ProgramLifetime.h"
#include "QtMainQueue.h"
#include "SystemServices.h"
#include "TerminalSettings.h"
#include "UdevDeviceEvents.h"
#include "WireBoard.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QSlider>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr std::uint64_t warmUpFrames = 500;
// A command every few frames keeps both queues of the dispatcher holding something, so every
// reply releases a frame.
constexpr std::uint64_t framesPerCommand = 4;
constexpr int figuresDescriptor = 3;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "wire_bench: %s\n", what.c_str());
    std::exit(1);
}

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// utime + stime of another process, from /proc (clock ticks: fine over a second or more).
double childCpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> field(13);
    for (std::string& each : field) {
        fields >> each;
    }
    // After the command's closing parenthesis: state is field 3, utime 14 and stime 15.
    return static_cast<double>(std::stoull(field[11]) + std::stoull(field[12])) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A pseudo-terminal whose master the board plays on. One slave descriptor stays open for the
// pair's life, so the master never reads a hang-up between writers.
struct Line {
    int master = -1;
    int keptSlave = -1;
    std::string slavePath;

    Line() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            fail("no pseudo-terminal");
        }
        slavePath = ::ptsname(master);
        keptSlave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Line() {
        ::close(keptSlave);
        ::close(master);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
};

void report(const WireBoard::Result& result, double writerCpuSeconds) {
    std::vector<double> sorted = result.turnaroundsNs;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty()) {
        fail("no turnaround measured");
    }
    const double frames = static_cast<double>(result.frames);
    char line[256];
    const int length = std::snprintf(
        line, sizeof line, "%.0f %.0f %.1f %.0f %.2f %.2f %llu\n", sorted[sorted.size() / 2],
        sorted[sorted.size() * 99 / 100], frames / result.seconds, writerCpuSeconds / frames * 1e9,
        result.frameBytes, result.replyBytes, static_cast<unsigned long long>(result.stalls));
    if (::write(figuresDescriptor, line, static_cast<std::size_t>(length)) != length) {
        fail("cannot write the figures");
    }
}

// --- The three writers --------------------------------------------------------------------------

int runRaw(std::uint64_t measured) {
    const Line line;
    const std::uint64_t total = warmUpFrames + measured;
    double writerCpu = 0;
    std::thread writer([&] {
        const int port = ::open(line.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios current{};
        ::tcgetattr(port, &current);
        const TerminalSettings raw = terminalSettingsFor(current, {38400, 1, {}, false, false});
        ::tcsetattr(port, TCSANOW, &raw.attributes);
        // The size of the frames the program writes: a three-byte packet and its length byte.
        const std::uint8_t frame[] = {0x03, 0xFF, 0x00, 0xFF};
        char reply[256];
        double start = 0;
        for (std::uint64_t sent = 1; sent <= total; ++sent) {
            if (::write(port, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) {
                break;
            }
            // As the port: wait for the line to be readable, then take what is there as the reply.
            pollfd ready{port, POLLIN, 0};
            ssize_t count = -1;
            while (count <= 0 && ::poll(&ready, 1, 5000) == 1) {
                count = ::read(port, reply, sizeof reply);
            }
            if (count <= 0) {
                break;
            }
            if (sent == warmUpFrames) {
                start = WireBoard::threadCpuSeconds();
            } else if (sent == total) {
                writerCpu = WireBoard::threadCpuSeconds() - start;
            }
        }
        ::close(port);
    });
    WireBoard board(line.master);
    WireBoard::Result result;
    const bool ran = board.run(
        warmUpFrames, measured, [](std::uint64_t, bool) {}, [] { return 0.0; }, result);
    writer.join();
    if (!ran) {
        fail("the raw writer stopped");
    }
    report(result, writerCpu);
    return 0;
}

// The command given every few frames: speeds and the headlight in turn.
std::string commandFor(std::uint64_t framesRead) {
    const std::uint64_t turn = framesRead / framesPerCommand;
    return turn % 2 == 0 ? "sendSpeedChange " + std::to_string(20 + turn % 80) : "headlight";
}

int runHeadless(std::uint64_t measured, const char* program) {
    // A program that has gone shows as a quiet line, not as this process killed by a write.
    ::signal(SIGPIPE, SIG_IGN);
    const Line line;
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        fail("no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    // The program's per-frame diagnostic lines, as cheaply as they can go.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> arguments{program,        "--headless", "--port",
                                       line.slavePath, "--script",   "-"};
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

    auto give = [&](const std::string& command) {
        const std::string text = command + "\n";
        [[maybe_unused]] const ssize_t ignored = ::write(input[1], text.data(), text.size());
    };
    WireBoard board(line.master);
    WireBoard::Result result;
    const bool ran = board.run(
        warmUpFrames, measured,
        [&](std::uint64_t framesRead, bool quiet) {
            if (quiet || framesRead % framesPerCommand == 0) {
                give(commandFor(framesRead));
            }
        },
        [child] { return childCpuSeconds(child); }, result);
    give("quit");
    ::close(input[1]);
    int status = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > giveUp) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        ::poll(nullptr, 0, 10);
    }
    if (!ran) {
        fail("the headless program stopped writing frames");
    }
    report(result, result.programCpuSeconds);
    return 0;
}

int runWindow(std::uint64_t measured, int& argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    const Line line;
    // As the window program makes itself (DCCCabApplication), less the desktop notifier.
    QApplication application(argc, argv);
    QtMainQueue queue(application);
    ProgramLifetime lifetime(queue, std::make_unique<SystemServices>());
    UdevDeviceEvents devices;
    const InstalledService<DeviceEvents> installedDevices(&devices);
    LogindPowerEvents power(QDBusConnection::systemBus());
    KESSerialPortManager& manager = KESSerialPortManager::sharedSerialPortManager();
    const auto port = KESSerialPort::serialPortWithKnownPath(
        line.slavePath, DCCCabCommandLine::nameOfKnownPath(line.slavePath));
    if (!port) {
        fail("the pseudo-terminal is no terminal");
    }
    manager.insertObjectInAvailablePortsAtIndex(port, manager.countOfAvailablePorts());
    DCCController controller;
    controller.setSerialPort(port);
    MainWindow window(controller);
    controller.awakeFromNib();
    window.show();
    controller.openOrClosePort(nullptr);
    const QDeadlineTimer deadline(10000);
    while (!port->isOpen() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    auto* slider = window.findChild<QSlider*>("speedSlider");
    auto* headlight = window.findChild<QPushButton*>("functionButton0");
    if (!port->isOpen() || slider == nullptr || headlight == nullptr) {
        fail("the window did not open its port");
    }

    WireBoard::Result result;
    bool ran = false;
    std::thread boardThread([&] {
        WireBoard board(line.master);
        // The board thread's own CPU is not the program's.
        ran = board.run(
            warmUpFrames, measured,
            [&](std::uint64_t framesRead, bool quiet) {
                if (!quiet && framesRead % framesPerCommand != 0) {
                    return;
                }
                // What the operator does, posted to the main thread as input events are.
                const std::uint64_t turn = framesRead / framesPerCommand;
                if (turn % 2 == 0) {
                    const int speed = static_cast<int>(20 + turn % 80);
                    QMetaObject::invokeMethod(
                        slider, [slider, speed] { slider->setValue(speed); }, Qt::QueuedConnection);
                } else {
                    QMetaObject::invokeMethod(
                        headlight, [headlight] { headlight->click(); }, Qt::QueuedConnection);
                }
            },
            [] { return processCpuSeconds() - WireBoard::threadCpuSeconds(); }, result);
        QMetaObject::invokeMethod(
            &application,
            [&port] {
                port->close();
                QCoreApplication::quit();
            },
            Qt::QueuedConnection);
    });
    QApplication::exec();
    boardThread.join();
    if (!ran) {
        fail("the window stopped writing frames");
    }
    report(result, result.programCpuSeconds);
    return 0;
}

// --- The table ----------------------------------------------------------------------------------

struct Figures {
    double p50Ns, p99Ns, fps, cpuNsPerFrame, frameBytes, replyBytes, stalls;
};

Figures measure(const std::vector<std::string>& arguments) {
    int figures[2];
    if (::pipe2(figures, O_CLOEXEC) != 0) {
        fail("no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, figures[1], figuresDescriptor);
    // The dispatcher's per-frame lines in the window's case; nothing of the table.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> all{"/proc/self/exe"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    if (::posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) {
        fail("cannot start a measuring run");
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(figures[1]);
    std::string text;
    char buffer[256];
    for (ssize_t count; (count = ::read(figures[0], buffer, sizeof buffer)) != 0;) {
        if (count < 0 && errno != EINTR) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    ::close(figures[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    Figures result{};
    std::istringstream fields(text);
    if (!(fields >> result.p50Ns >> result.p99Ns >> result.fps >> result.cpuNsPerFrame >>
          result.frameBytes >> result.replyBytes >> result.stalls) ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail("the " + arguments.front() + " run failed");
    }
    return result;
}

// Median [min-max] of a figure over the rounds.
struct Spread {
    double median, least, most;
};
Spread spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

std::string shown(const Spread& figure, double scale, const char* unit) {
    char text[128];
    const char* format =
        figure.median * scale < 100 ? "%.1f %s [%.1f-%.1f]" : "%.0f %s [%.0f-%.0f]";
    std::snprintf(text, sizeof text, format, figure.median * scale, unit, figure.least * scale,
                  figure.most * scale);
    return text;
}

int runTable(const char* program, int rounds, std::uint64_t frames) {
    const std::vector<std::string> modes{"raw", "headless", "window"};
    std::map<std::string, std::vector<Figures>> byMode;
    for (int round = 1; round <= rounds; ++round) {
        for (const std::string& mode : modes) {
            std::fprintf(stderr, "wire: round %d of %d, %s\n", round, rounds, mode.c_str());
            // The window answers two orders of magnitude slower (it repaints after every
            // frame): a tenth of the frames keeps its rounds to seconds.
            const std::uint64_t count =
                mode == "window" ? std::max<std::uint64_t>(frames / 10, 1000) : frames;
            std::vector<std::string> arguments{mode, std::to_string(count)};
            if (mode == "headless") {
                arguments.emplace_back(program);
            }
            byMode[mode].push_back(measure(arguments));
        }
    }
    using Field = double Figures::*;
    auto column = [&](const std::string& mode, Field field) {
        std::vector<double> values;
        for (const Figures& figures : byMode[mode]) {
            values.push_back(figures.*field);
        }
        return values;
    };
    // The ratio of each round's figure to the raw one of the same round; their median.
    auto ratio = [&](const std::string& mode, Field field) {
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round) {
            ratios.push_back(byMode[mode][static_cast<std::size_t>(round)].*field /
                             byMode["raw"][static_cast<std::size_t>(round)].*field);
        }
        return spread(ratios).median;
    };
    auto row = [&](const char* figure, const std::string& mode, Field field, double scale,
                   const char* unit, bool atMost, double goal) {
        const double r = ratio(mode, field);
        const bool met = atMost ? r <= goal : r >= goal;
        std::printf("| %s, %s | %s | %s (raw pty ping-pong) | %.2fx | %s %.2fx | %s |\n", figure,
                    mode == "window" ? "window (offscreen)" : mode.c_str(),
                    shown(spread(column(mode, field)), scale, unit).c_str(),
                    shown(spread(column("raw", field)), scale, unit).c_str(), r,
                    atMost ? "<=" : ">=", goal, met ? "yes" : "no");
    };
    for (const char* mode : {"headless", "window"}) {
        row("Turnaround p50", mode, &Figures::p50Ns, 1e-3, "us", true, 1.15);
        row("Turnaround p99", mode, &Figures::p99Ns, 1e-3, "us", true, 1.3);
        row("Frames per second", mode, &Figures::fps, 1, "/s", false, 0.85);
        row("CPU per frame (program / raw writer thread)", mode, &Figures::cpuNsPerFrame, 1e-3,
            "us", true, 1.5);
    }
    // What a real line allows, worked out rather than measured: a pty does not pace bytes.
    const double frameBytes = spread(column("headless", &Figures::frameBytes)).median;
    const double replyBytes = spread(column("headless", &Figures::replyBytes)).median;
    const double lineMs = (frameBytes + replyBytes) * 10 / 38400 * 1e3;
    const Spread headlessFps = spread(column("headless", &Figures::fps));
    std::printf("| Line limit at 38400 baud (computed: (%.0f + %.1f bytes) x 10 bits / 38400) "
                "| %s, headless | %.0f /s, %.2f ms per frame (computed) | %.1fx | - | - |\n",
                frameBytes, replyBytes, shown(headlessFps, 1, "/s").c_str(), 1e3 / lineMs, lineMs,
                headlessFps.median * lineMs / 1e3);
    for (const std::string& mode : modes) {
        double stalls = 0;
        for (const Figures& figures : byMode[mode]) {
            stalls += figures.stalls;
        }
        if (stalls > 0) {
            std::fprintf(stderr, "wire: %s: the line went quiet %.0f times (left out)\n",
                         mode.c_str(), stalls);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::uint64_t frames = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;
    if (mode == "raw" && argc == 3) {
        return runRaw(frames);
    }
    if (mode == "headless" && argc == 4) {
        return runHeadless(frames, argv[3]);
    }
    if (mode == "window" && argc == 3) {
        return runWindow(frames, argc, argv);
    }
    if (mode == "table" && argc >= 3) {
        return runTable(argv[2], argc > 3 ? std::atoi(argv[3]) : 5,
                        argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 20000);
    }
    std::fputs("usage: wire_bench table DCC_CAB [ROUNDS] [FRAMES]\n"
               "       wire_bench raw FRAMES | headless FRAMES DCC_CAB | window FRAMES\n",
               stderr);
    return 2;
}
