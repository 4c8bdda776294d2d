// The program at rest, at start and under a flood of received data, each beside a floor measured
// in the same run. Rows of bench/run's table go to standard output, notes to standard error.
//   view_bench idle BINDIR              an open pty with nothing to do: wake-ups and CPU
//   view_bench startup BINDIR BAREWIN   start to ready and peak RSS, headless and windowed
//   view_bench flood                    the window's received-data view fed through the port
// The flood rounds run as child processes of this program (view_bench flood-round MODE FILE),
// each in a fresh process so that its memory figures are its own.

#include "BuiltInStation.h"
#include "DCCController.h"
#include "InstalledService.h"
#include "KESSerialPort.h"
#include "MainWindow.h"
#include "ProgramLifetime.h"
#include "PseudoTerminal.h"
#include "QtMainQueue.h"
#include "SystemServices.h"
#include "UdevDeviceEvents.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int rounds = 5;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Spread {
    double median = 0, low = 0, high = 0;
};

Spread spreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty()) {
        return {};
    }
    return {values[values.size() / 2], values.front(), values.back()};
}

std::string show(const Spread& s, const char* unit, int decimals = 0) {
    char text[128];
    std::snprintf(text, sizeof text, "%.*f %s [%.*f-%.*f]", decimals, s.median, unit, decimals,
                  s.low, decimals, s.high);
    return text;
}

void row(const std::string& figure, const std::string& ours, const std::string& limit,
         const std::string& ratio, const std::string& goal, bool met) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", figure.c_str(), ours.c_str(), limit.c_str(),
                ratio.c_str(), goal.c_str(), met ? "yes" : "no");
    std::fflush(stdout);
}

std::string ratioOf(double ours, double limit) {
    if (limit <= 0) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", ours / limit);
    return text;
}

// A child with the given standard descriptors (-1: inherited) and extra environment.
pid_t spawn(const std::vector<std::string>& arguments, int in, int out, int err,
            const std::vector<std::string>& extraEnvironment = {}) {
    std::vector<std::string> environment = extraEnvironment;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (in >= 0) {
            ::dup2(in, STDIN_FILENO);
        }
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
        }
        if (err >= 0) {
            ::dup2(err, STDERR_FILENO);
        }
        std::vector<char*> argv;
        for (const std::string& a : arguments) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : environment) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

// Peak resident memory of the child in MB, after it ended.
double reap(pid_t pid, int* status = nullptr) {
    rusage usage{};
    int code = 0;
    while (::wait4(pid, &code, 0, &usage) < 0 && errno == EINTR) {
    }
    if (status != nullptr) {
        *status = code;
    }
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

int devNull() {
    return ::open("/dev/null", O_RDWR | O_CLOEXEC);
}

// --- Idle ------------------------------------------------------------------------------------

struct ThreadCounts {
    std::string name;
    long long switches = 0;
};

// Context switches (voluntary and not) of every thread of pid, by thread id.
std::map<std::string, ThreadCounts> switchesOf(pid_t pid) {
    std::map<std::string, ThreadCounts> counts;
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = ::opendir(base.c_str());
    if (directory == nullptr) {
        return counts;
    }
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        ThreadCounts thread;
        std::ifstream comm(base + "/" + entry->d_name + "/comm");
        std::getline(comm, thread.name);
        std::ifstream status(base + "/" + entry->d_name + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                thread.switches += std::atoll(line.c_str() + line.find(':') + 1);
            }
        }
        counts[entry->d_name] = thread;
    }
    ::closedir(directory);
    return counts;
}

// User and system CPU time of the whole process, in seconds.
double cpuOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::atoll(field.c_str());
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

bool holdsOpen(pid_t pid, const std::string& path) {
    const std::string base = "/proc/" + std::to_string(pid) + "/fd";
    DIR* directory = ::opendir(base.c_str());
    bool found = false;
    while (directory != nullptr && !found) {
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr) {
            break;
        }
        char target[256];
        const ssize_t n =
            ::readlink((base + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        found = n > 0 && std::string(target, static_cast<std::size_t>(n)) == path;
    }
    if (directory != nullptr) {
        ::closedir(directory);
    }
    return found;
}

struct IdleFigures {
    std::vector<double> wakeups, cpuPercent;
};

// Samples pid for rounds windows of window seconds; names the threads that woke on stderr.
IdleFigures sampleIdle(pid_t pid, double window, const char* who) {
    IdleFigures figures;
    std::map<std::string, long long> byThread;
    for (int round = 0; round < rounds; ++round) {
        const auto before = switchesOf(pid);
        const double cpuBefore = cpuOf(pid);
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(window));
        const auto after = switchesOf(pid);
        const double cpu = cpuOf(pid) - cpuBefore;
        const double elapsed = secondsSince(start);
        long long total = 0;
        for (const auto& [id, thread] : after) {
            const auto old = before.find(id);
            const long long delta =
                thread.switches - (old == before.end() ? 0 : old->second.switches);
            total += delta;
            byThread[id + " " + thread.name] += delta;
        }
        figures.wakeups.push_back(static_cast<double>(total) / elapsed);
        figures.cpuPercent.push_back(100.0 * cpu / elapsed);
    }
    for (const auto& [thread, count] : byThread) {
        if (count > 0) {
            std::fprintf(stderr, "view: idle %s: thread %s: %lld switches in %.0f s\n", who,
                         thread.c_str(), count, window * rounds);
        }
    }
    return figures;
}

int idle(const std::string& bin) {
    constexpr double window = 2.0; // five windows: 10 s in all
    PseudoTerminal line;
    // The board's end answers whatever frame comes, as a board would; at rest nothing should.
    std::atomic<bool> stop{false};
    std::atomic<long long> bytesFromCab{0};
    std::thread board([&] {
        char buffer[256];
        while (!stop) {
            pollfd wait{line.master(), POLLIN, 0};
            if (::poll(&wait, 1, 100) > 0) {
                const ssize_t n = ::read(line.master(), buffer, sizeof buffer);
                if (n > 0) {
                    bytesFromCab += n;
                    static const char ok[] = "OK 1\n";
                    [[maybe_unused]] const ssize_t w = ::write(line.master(), ok, sizeof ok - 1);
                }
            }
        }
    });
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        return 1;
    }
    const int quiet = devNull();
    const pid_t cab =
        spawn({bin + "/dcc-cab", "--headless", "--port", line.slavePath(), "--script", "-"},
              input[0], quiet, -1);
    ::close(input[0]);
    const auto start = Clock::now();
    while (!holdsOpen(cab, line.slavePath()) && secondsSince(start) < 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool open = holdsOpen(cab, line.slavePath());
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // settle
    const long long settledBytes = bytesFromCab;
    const IdleFigures ours = sampleIdle(cab, window, "dcc-cab");
    const long long idleBytes = bytesFromCab - settledBytes;
    ::close(input[1]); // end of script: the cab quits once idle
    reap(cab);
    stop = true;
    board.join();

    // The floor: a process that holds the same kind of line open and waits on it, no time-out.
    PseudoTerminal floorLine;
    const pid_t waiter = ::fork();
    if (waiter == 0) {
        const int fd = ::open(floorLine.slavePath().c_str(), O_RDWR | O_NOCTTY);
        pollfd wait{fd, POLLIN, 0};
        for (;;) {
            ::poll(&wait, 1, -1);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const IdleFigures floor = sampleIdle(waiter, window, "floor");
    ::kill(waiter, SIGKILL);
    reap(waiter);
    ::close(quiet);

    if (!open) {
        std::fputs("view: idle: dcc-cab never opened the pty\n", stderr);
    }
    std::fprintf(stderr,
                 "view: idle: port open: %s; bytes written to the line while idle: %lld. A pty "
                 "has no modem lines, so the cab runs no line poll on it; a device with modem "
                 "lines is polled every 10 ms (100 wake-ups/s by design)\n",
                 open ? "yes" : "NO", idleBytes);
    const Spread w = spreadOf(ours.wakeups), fw = spreadOf(floor.wakeups);
    const Spread c = spreadOf(ours.cpuPercent), fc = spreadOf(floor.cpuPercent);
    row("Idle open port (pty, headless): wake-ups/s, all threads, 5 x 2 s", show(w, "/s", 1),
        show(fw, "/s", 1) + " (a process blocked on a pty)", "-", "0/s", open && w.high == 0);
    row("Idle open port (pty, headless): CPU", show(c, "%", 2), show(fc, "%", 2) + " (same waiter)",
        "-", "0%", open && c.high == 0);
    return 0;
}

// --- Start-up --------------------------------------------------------------------------------

// Time from exec until the first frame's board line reaches standard output, and the peak RSS.
bool headlessStart(const std::string& bin, double& ready, double& rss) {
    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        return false;
    }
    static const char first[] = "sendSpeedChange 64\n";
    [[maybe_unused]] const ssize_t w = ::write(input[1], first, sizeof first - 1);
    const int quiet = devNull();
    const auto start = Clock::now();
    const pid_t cab = spawn({bin + "/dcc-cab", "--headless", "--simulate", "--script", "-"},
                            input[0], output[1], quiet);
    ::close(input[0]);
    ::close(output[1]);
    ::close(quiet);
    std::string seen;
    char buffer[4096];
    ready = -1;
    for (ssize_t n; (n = ::read(output[0], buffer, sizeof buffer)) > 0;) {
        seen.append(buffer, static_cast<std::size_t>(n));
        if (ready < 0 && seen.find(" board #1") != std::string::npos) {
            ready = secondsSince(start) * 1000;
            static const char quit[] = "quit\n";
            [[maybe_unused]] const ssize_t q = ::write(input[1], quit, sizeof quit - 1);
            ::close(input[1]);
            input[1] = -1;
        }
    }
    if (input[1] >= 0) {
        ::close(input[1]);
    }
    ::close(output[0]);
    rss = reap(cab);
    return ready >= 0;
}

// Time from exec until the program's screenshot file has been written and closed, and peak RSS.
bool windowStart(const std::vector<std::string>& arguments, const std::string& file, double& ready,
                 double& rss) {
    ::unlink(file.c_str());
    const std::string directory = file.substr(0, file.rfind('/'));
    const std::string name = file.substr(file.rfind('/') + 1);
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(watch, directory.c_str(), IN_CLOSE_WRITE);
    const int quiet = devNull();
    const auto start = Clock::now();
    const pid_t child = spawn(arguments, quiet, quiet, quiet, {"QT_QPA_PLATFORM=offscreen"});
    ::close(quiet);
    ready = -1;
    alignas(inotify_event) char buffer[4096];
    while (ready < 0) {
        pollfd wait{watch, POLLIN, 0};
        if (::poll(&wait, 1, 10000) <= 0) {
            break;
        }
        const ssize_t n = ::read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && name == event->name) {
                ready = secondsSince(start) * 1000;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    ::close(watch);
    rss = reap(child);
    ::unlink(file.c_str());
    return ready >= 0;
}

int startup(const std::string& bin, const std::string& bareWindow) {
    char directory[] = "/tmp/dcc-view-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        return 1;
    }
    const std::string shot = std::string(directory) + "/shot.png";
    std::vector<double> headless, headlessRss, version, versionRss, window, windowRss, bare,
        bareRss;
    bool allRan = true;
    for (int round = 0; round < rounds; ++round) {
        double t = 0, m = 0;
        allRan = headlessStart(bin, t, m) && allRan;
        headless.push_back(t);
        headlessRss.push_back(m);

        const int quiet = devNull();
        const auto start = Clock::now();
        const pid_t v = spawn({bin + "/dcc-cab", "--version"}, quiet, quiet, quiet);
        versionRss.push_back(reap(v));
        version.push_back(secondsSince(start) * 1000);
        ::close(quiet);

        allRan = windowStart({bin + "/dcc-cab", "--simulate", "--screenshot", shot}, shot, t, m) &&
                 allRan;
        window.push_back(t);
        windowRss.push_back(m);
        allRan = windowStart({bareWindow, shot}, shot, t, m) && allRan;
        bare.push_back(t);
        bareRss.push_back(m);
    }
    ::rmdir(directory);
    if (!allRan) {
        std::fputs("view: startup: a run did not reach its signal (figure -1)\n", stderr);
    }
    std::fputs("view: startup: the window's signal is its --screenshot file written, which "
               "waits for a 50 ms timer after the event loop starts and for the simulated "
               "port to open; the bare window takes the same 50 ms and grab\n",
               stderr);
    const Spread h = spreadOf(headless), v = spreadOf(version), hm = spreadOf(headlessRss),
                 vm = spreadOf(versionRss), wt = spreadOf(window), b = spreadOf(bare),
                 wm = spreadOf(windowRss), bm = spreadOf(bareRss);
    row("Start to first frame, headless --simulate", show(h, "ms"),
        show(v, "ms") + " (exec of dcc-cab --version)", ratioOf(h.median, v.median), "<= 100 ms",
        allRan && h.median <= 100);
    row("Peak RSS, headless --simulate", show(hm, "MB", 1),
        show(vm, "MB", 1) + " (dcc-cab --version)", ratioOf(hm.median, vm.median), "<= 30 MB",
        hm.median <= 30);
    row("Start to shown, window --simulate (offscreen)", show(wt, "ms"),
        show(b, "ms") + " (bare QApplication, empty QWidget)", ratioOf(wt.median, b.median),
        "<= 500 ms", allRan && wt.median <= 500);
    row("Peak RSS, window --simulate (offscreen)", show(wm, "MB", 1),
        show(bm, "MB", 1) + " (bare QApplication)", ratioOf(wm.median, bm.median), "-", true);
    return 0;
}

// --- Flood -----------------------------------------------------------------------------------

constexpr std::size_t floodBytes = 10 * 1000 * 1000;
constexpr std::size_t floodLineLength = 64;

// Writes floodBytes of text lines into the master as fast as the line takes them.
void writeFlood(int master) {
    std::string text;
    for (std::size_t n = 0; text.size() < floodBytes; ++n) {
        char line[floodLineLength + 1];
        std::snprintf(line, sizeof line, "%010zu received line of the flood, all plain ASCII %7s\n",
                      n, "text");
        text.append(line, floodLineLength);
    }
    text.resize(floodBytes);
    for (std::size_t at = 0; at < text.size();) {
        pollfd wait{master, POLLOUT, 0};
        ::poll(&wait, 1, 1000);
        const ssize_t n =
            ::write(master, text.data() + at, std::min<std::size_t>(4096, text.size() - at));
        if (n > 0) {
            at += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
    }
}

long residentKb(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(key));
        }
    }
    return 0;
}

// One round in this process: the real window and cab, fed by the station (mode "station") or by
// a flood written into a pty (mode "pty"); or the floor, a bare reader of the flood ("drain").
int floodRound(const std::string& mode, const std::string& resultFile, int argc, char** argv) {
    std::ofstream result(resultFile);
    if (mode == "drain") {
        PseudoTerminal line;
        const int fd = ::open(line.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        const auto start = Clock::now();
        std::thread writer([&] { writeFlood(line.master()); });
        std::size_t total = 0;
        char buffer[1024]; // the port's read loop reads this much at a time
        while (total < floodBytes) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            total += static_cast<std::size_t>(n);
        }
        const double seconds = secondsSince(start);
        writer.join();
        ::close(fd);
        result << "lines " << static_cast<double>(total / floodLineLength) / seconds << "\n";
        return 0;
    }

    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    QtMainQueue queue(application);
    ProgramLifetime lifetime(queue, std::make_unique<SystemServices>());
    UdevDeviceEvents devices;
    const InstalledService<DeviceEvents> installedDevices(&devices);

    std::unique_ptr<PseudoTerminal> line;
    BuiltInStation station;
    DCCController controller;
    std::shared_ptr<KESSerialPort> port;
    if (mode == "station") {
        port = station.start();
    } else {
        line = std::make_unique<PseudoTerminal>();
        port = KESSerialPort::serialPortWithKnownPath(line->slavePath(), "Flood line");
    }
    if (!port) {
        std::fputs("view: flood: no port\n", stderr);
        return 1;
    }
    controller.setSerialPort(port);
    MainWindow window(controller, mode == "station" ? &station : nullptr);
    controller.awakeFromNib();
    window.show();
    controller.openOrClosePort(nullptr);
    while (!port->isOpen()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    auto* view = window.findChild<QPlainTextEdit*>("receivedDataTextView");
    if (view == nullptr) {
        std::fputs("view: flood: no received-data view in the window\n", stderr);
        return 1;
    }

    // Lines appended to the view: the line ends in what each change added.
    long long lines = 0;
    Clock::time_point lastAppend = Clock::now();
    QTextDocument* document = view->document();
    QObject::connect(document, &QTextDocument::contentsChange, [&](int at, int, int added) {
        for (int i = at; i < at + added; ++i) {
            if (document->characterAt(i) == QChar::ParagraphSeparator) {
                ++lines;
            }
        }
        if (added > 0) {
            lastAppend = Clock::now();
        }
    });

    // The main thread's stalls: a 5 ms timer that measures how late it comes.
    constexpr auto tick = std::chrono::milliseconds(5);
    QTimer stallTimer;
    stallTimer.setTimerType(Qt::PreciseTimer);
    stallTimer.setInterval(tick);
    double longestStall = 0;
    long peakRss = 0;
    Clock::time_point lastTick = Clock::now();
    const auto start = Clock::now();
    std::atomic<bool> written{false};
    std::thread writer;
    if (line) {
        writer = std::thread([&] {
            writeFlood(line->master());
            written = true;
        });
    }
    QObject::connect(&stallTimer, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        longestStall = std::max(
            longestStall, std::chrono::duration<double, std::milli>(now - lastTick - tick).count());
        lastTick = now;
        peakRss = std::max(peakRss, residentKb("VmRSS:"));
        if (mode == "station") {
            // Keep the cab busy: handing a command over again renews its repeats, so the
            // queues never run dry between two ticks.
            controller.sendIdle(nullptr);
            controller.sendReset(nullptr);
            controller.sendStop(nullptr);
            if (secondsSince(start) > 3) {
                QCoreApplication::quit();
            }
        } else if (written && line->unreadBySlave() == 0 && now - lastAppend > 20 * tick) {
            QCoreApplication::quit();
        }
    });
    stallTimer.start();
    application.exec();
    const double seconds = std::chrono::duration<double>(lastAppend - start).count();
    if (writer.joinable()) {
        writer.join();
    }
    port->close();
    QCoreApplication::processEvents();
    result << "lines " << static_cast<double>(lines) / seconds << "\n"
           << "inlines "
           << (line ? static_cast<double>(floodBytes / floodLineLength) / seconds : 0.0) << "\n"
           << "stall " << longestStall << "\n"
           << "rss " << static_cast<double>(residentKb("VmRSS:")) / 1024.0 << "\n"
           << "peak " << static_cast<double>(peakRss) / 1024.0 << "\n"
           << "blocks " << document->blockCount() << "\n"
           << "limit " << view->maximumBlockCount() << "\n"
           << "frames " << controller.dispatcher().framesWritten() << "\n";
    return 0;
}

std::map<std::string, double> runRound(const std::string& mode) {
    char file[] = "/tmp/dcc-view-flood-XXXXXX";
    const int fd = ::mkstemp(file);
    ::close(fd);
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string program(self, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    const int quiet = devNull();
    reap(spawn({program, "flood-round", mode, file}, quiet, quiet, -1));
    ::close(quiet);
    std::map<std::string, double> values;
    std::ifstream in(file);
    std::string key;
    double value = 0;
    while (in >> key >> value) {
        values[key] = value;
    }
    ::unlink(file);
    return values;
}

int flood() {
    std::map<std::string, std::map<std::string, std::vector<double>>> figures;
    for (int round = 0; round < rounds; ++round) {
        for (const char* mode : {"station", "pty", "drain"}) {
            for (const auto& [key, value] : runRound(mode)) {
                figures[mode][key].push_back(value);
            }
        }
    }
    const Spread drain = spreadOf(figures["drain"]["lines"]);
    for (const char* mode : {"station", "pty"}) {
        auto& f = figures[mode];
        const Spread lines = spreadOf(f["lines"]), stall = spreadOf(f["stall"]),
                     rss = spreadOf(f["rss"]), peak = spreadOf(f["peak"]);
        const Spread blocks = spreadOf(f["blocks"]), limit = spreadOf(f["limit"]);
        const bool pty = std::string(mode) == "pty";
        std::fprintf(stderr,
                     "view: flood %s: view holds %.0f lines [%.0f-%.0f] of a scrollback of %.0f; "
                     "frames written %.0f\n",
                     mode, blocks.median, blocks.low, blocks.high, limit.median,
                     spreadOf(f["frames"]).median);
        const std::string what =
            pty ? "Flood (b), 10 MB raw into the pty" : "Flood (a), station answering at once";
        row(what + ": lines appended to the window's view", show(lines, "lines/s"),
            pty ? show(drain, "lines/s") + " (bare reader of the same 10 MB)" : "-",
            pty ? ratioOf(lines.median, drain.median) : "-", ">= 2,000 lines/s",
            lines.median >= 2000);
        if (pty) {
            const Spread in = spreadOf(f["inlines"]);
            row(what + ": text lines taken through the port", show(in, "lines/s"),
                show(drain, "lines/s") + " (bare reader)", ratioOf(in.median, drain.median), "-",
                true);
        }
        row(what + ": longest main-thread stall (5 ms timer)", show(stall, "ms", 1), "-", "-",
            "< 50 ms", stall.high < 50);
        row(what + ": VmRSS at end / peak", show(rss, "MB", 1) + " / " + show(peak, "MB", 1), "-",
            "-", "bounded by the scrollback", blocks.high <= limit.median);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "idle" && argc > 2) {
        return idle(argv[2]);
    }
    if (mode == "startup" && argc > 3) {
        return startup(argv[2], argv[3]);
    }
    if (mode == "flood") {
        return flood();
    }
    if (mode == "flood-round" && argc > 3) {
        return floodRound(argv[2], argv[3], argc, argv);
    }
    std::fputs("usage: view_bench idle BINDIR | startup BINDIR BAREWINDOW | flood\n", stderr);
    return 2;
}
