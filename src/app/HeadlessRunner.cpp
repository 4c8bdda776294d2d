#include "HeadlessRunner.h"

#include "AvahiServiceAnnouncer.h"
#include "BuiltInStation.h"
#include "DCCController.h"
#include "InstalledService.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "LogindPowerEvents.h"
#include "MemoryButton.h"
#include "MemoryPopUpButton.h"
#include "MemoryTextField.h"
#include "MemoryTextView.h"
#include "MemoryValueControl.h"
#include "NotificationCenter.h"
#include "PhoneThrottleService.h"
#include "ProgramLifetime.h"
#include "QtMainQueue.h"
#include "QuitSignals.h"
#include "RosterFile.h"
#include "ScriptInterpreter.h"
#include "ScriptLine.h"
#include "StationLine.h"
#include "SystemServices.h"
#include "UdevDeviceEvents.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The exit status of a run whose line and script were fine but that refused lines.
constexpr int refusedLinesStatus = 3;

// Lines run in one go before the event loop has a turn (signals, the line's replies).
constexpr std::size_t linesPerTurn = 256;
// Lines read ahead of the one running; reading pauses beyond that.
constexpr std::size_t linesAhead = 4096;

// Flushes standard output. When it cannot be written (the reader, such as `head`, has gone), the
// run goes on without it: descriptor 1 becomes /dev/null, so that nothing printed later, the cab's
// lines among it, fails or blocks.
void flushStandardOutput() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return;
    }
    const int error = errno;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    std::clearerr(stdout);
    std::fprintf(stderr, "dcc-cab: standard output cannot be written (%s); the run goes on\n",
                 std::strerror(error));
}

// Runs the script's lines on the interpreter as they come, holding back while a line takes its
// time (wait, waitUntilIdle), and quits at `quit` or at the end of the input (unless told to go
// on after it). Lines run from a
// loop, never from within one another: whatever releases a hold (a timer) resumes the loop from
// the event loop, and each hold is one timer of the player's own, stopped when the player quits.
class ScriptPlayer {
public:
    ScriptPlayer(ScriptInterpreter& interpreter, DCCController& cab)
        : interpreter_(interpreter), cab_(cab) {
        idleCheck_.setInterval(10);
        QObject::connect(&idleCheck_, &QTimer::timeout, [this] { checkIdle(); });
        waitTimer_.setSingleShot(true);
        QObject::connect(&waitTimer_, &QTimer::timeout, [this] { play(); });
        nextTurn_.setSingleShot(true);
        nextTurn_.setInterval(0);
        QObject::connect(&nextTurn_, &QTimer::timeout, [this] { play(); });
    }

    // Called, outside any line, when fewer lines are waiting than the reader may read ahead.
    void setRoomHandler(std::function<void()> handler) { roomHandler_ = std::move(handler); }
    // Called after a line that began to open the port.
    void setOpeningHandler(std::function<void()> handler) { openingHandler_ = std::move(handler); }
    // Whether the run goes on after the end of the input (phones still drive the cab), until a
    // quit signal or the script's `quit`.
    void setGoesOnAfterInput(bool goesOn) { goesOnAfterInput_ = goesOn; }

    // Takes text read from the input; a line runs once its line ending has come. Of a line longer
    // than the parser takes only enough is kept for it to be refused: the rest is dropped as it
    // comes.
    void feed(const char* bytes, std::size_t count) {
        const char* const end = bytes + count;
        while (bytes != end) {
            const auto* newline = static_cast<const char*>(
                std::memchr(bytes, '\n', static_cast<std::size_t>(end - bytes)));
            const char* const stop = newline != nullptr ? newline : end;
            const std::size_t room =
                scriptLineLimit + 1 - std::min(partial_.size(), scriptLineLimit + 1);
            partial_.append(bytes, std::min(static_cast<std::size_t>(stop - bytes), room));
            if (newline == nullptr) {
                break;
            }
            lines_.push_back(std::move(partial_));
            partial_.clear();
            bytes = newline + 1;
        }
        play();
    }

    void endOfInput() {
        if (!partial_.empty()) {
            lines_.push_back(std::move(partial_));
            partial_.clear();
        }
        ended_ = true;
        play();
    }

    // Whether the reader may read more now.
    bool hasRoom() const { return lines_.size() < linesAhead; }
    // Whether a script line is running now (so what happens is its doing).
    bool isRunningLine() const { return runningLine_; }
    bool isQuitting() const { return quitting_; }

    // Quits: no line runs after this.
    void quit() {
        quitting_ = true;
        idleCheck_.stop();
        waitTimer_.stop();
        nextTurn_.stop();
        // Closed now, not at will-terminate: a reply already on its way must not release
        // another frame before the event loop ends.
        if (const auto& port = cab_.serialPort(); port && port->isOpen()) {
            port->close();
        }
        QCoreApplication::quit();
    }

private:
    bool isHolding() const { return waitTimer_.isActive() || idleCheck_.isActive(); }

    void play() {
        if (playing_ || quitting_) {
            return;
        }
        playing_ = true;
        for (std::size_t ran = 0; !isHolding() && !quitting_ && !lines_.empty(); ++ran) {
            if (ran == linesPerTurn) {
                nextTurn_.start();
                break;
            }
            runLine();
        }
        playing_ = false;
        if (quitting_) {
            return;
        }
        if (roomHandler_ && hasRoom() && !ended_) {
            roomHandler_();
        }
        if (!isHolding() && !nextTurn_.isActive() && ended_ && lines_.empty() &&
            !goesOnAfterInput_) {
            finishing_ = true;
            if (!waitUntilIdle(std::nullopt)) {
                quit();
            }
        }
    }

    void runLine() {
        const std::string line = std::move(lines_.front());
        lines_.pop_front();
        runningLine_ = true;
        const ScriptInterpreter::Step step = interpreter_.run(line, ++lineNumber_);
        runningLine_ = false;
        flushStandardOutput();
        if (step.opensPort && openingHandler_) {
            openingHandler_();
        }
        switch (step.kind) {
        case ScriptInterpreter::Step::Kind::next:
            break;
        case ScriptInterpreter::Step::Kind::wait:
            waitTimer_.start(step.duration);
            break;
        case ScriptInterpreter::Step::Kind::waitUntilIdle:
            waitUntilIdle(step.hasDuration ? std::optional(step.duration) : std::nullopt);
            break;
        case ScriptInterpreter::Step::Kind::quit:
            quit();
            break;
        }
    }

    // Until the dispatcher has nothing left to write, or at most limit; true while that holds the
    // script back. Without a limit it gives up only when no frame has gone out for twice the
    // reply timeout: the cab sends on after a missing reply, so a dispatcher that still makes no
    // progress by then never will.
    bool waitUntilIdle(std::optional<std::chrono::milliseconds> limit) {
        limit_ = limit ? QDeadlineTimer(*limit) : QDeadlineTimer(QDeadlineTimer::Forever);
        framesSeen_ = cab_.dispatcher().framesWritten();
        progress_ = QDeadlineTimer(cab_.replyTimeout() * 2);
        if (idleWaitIsOver()) {
            return false;
        }
        idleCheck_.start();
        return true;
    }

    bool idleWaitIsOver() {
        if (cab_.dispatcher().framesWritten() != framesSeen_) {
            framesSeen_ = cab_.dispatcher().framesWritten();
            progress_ = QDeadlineTimer(cab_.replyTimeout() * 2);
        }
        const bool idle = cab_.linkIsIdle();
        if (!idle && !limit_.hasExpired() && !progress_.hasExpired()) {
            return false;
        }
        if (!idle) {
            std::fprintf(stderr, "dcc-cab: script line %llu: the dispatcher is still busy; %s\n",
                         static_cast<unsigned long long>(lineNumber_),
                         finishing_ ? "quitting all the same" : "going on");
        }
        return true;
    }

    void checkIdle() {
        if (!idleWaitIsOver()) {
            return;
        }
        idleCheck_.stop();
        if (finishing_) {
            quit();
        } else {
            play();
        }
    }

    ScriptInterpreter& interpreter_;
    DCCController& cab_;
    std::function<void()> roomHandler_;
    std::function<void()> openingHandler_;
    std::string partial_;
    std::deque<std::string> lines_;
    std::uint64_t lineNumber_ = 0;
    bool playing_ = false;
    bool runningLine_ = false;
    bool ended_ = false;
    bool finishing_ = false;
    bool quitting_ = false;
    bool goesOnAfterInput_ = false;
    QTimer idleCheck_;
    QTimer waitTimer_;
    QTimer nextTurn_;
    QDeadlineTimer limit_;
    QDeadlineTimer progress_;
    std::uint64_t framesSeen_ = 0;
};

// Reads the script from a descriptor (a file, or standard input as it arrives) a chunk at a time
// whenever the event loop finds it readable, and rests while the player has lines enough ahead:
// the main loop never waits on the input, and a script of any size takes bounded memory.
class ScriptReader {
public:
    ScriptReader(int descriptor, std::string name, ScriptPlayer& player)
        : descriptor_(descriptor), name_(std::move(name)), player_(player),
          notifier_(descriptor, QSocketNotifier::Read), buffer_(64 * 1024) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readChunk(); });
        player_.setRoomHandler([this] {
            if (!ended_) {
                notifier_.setEnabled(true);
            }
        });
    }

    ~ScriptReader() { player_.setRoomHandler(nullptr); }
    ScriptReader(const ScriptReader&) = delete;
    ScriptReader& operator=(const ScriptReader&) = delete;

    // Whether reading failed (the script was cut short).
    bool failed() const { return failed_; }

private:
    void readChunk() {
        const ssize_t count = ::read(descriptor_, buffer_.data(), buffer_.size());
        if (count > 0) {
            // Paused before the player runs the lines: it resumes the reader once it has room.
            notifier_.setEnabled(false);
            player_.feed(buffer_.data(), static_cast<std::size_t>(count));
            return;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (count < 0) {
            std::fprintf(stderr, "dcc-cab: cannot read the script %s: %s\n", name_.c_str(),
                         std::strerror(errno));
            failed_ = true;
        }
        ended_ = true;
        notifier_.setEnabled(false);
        player_.endOfInput();
    }

    int descriptor_;
    std::string name_;
    ScriptPlayer& player_;
    QSocketNotifier notifier_;
    std::vector<char> buffer_;
    bool ended_ = false;
    bool failed_ = false;
};

} // namespace

int HeadlessRunner::run(int& argc, char** argv, const DCCCabCommandLine::Options& options) {
    // A reader of standard output that goes away (`| head`) must not end the run with the line
    // raw and the train running: writes then fail with EPIPE, and flushStandardOutput stops
    // printing.
    ::signal(SIGPIPE, SIG_IGN);

    // A script file is opened before anything else starts, so a wrong path costs nothing; it is
    // read as it runs. An empty file is an empty script, a directory is not.
    int scriptDescriptor = STDIN_FILENO;
    std::string scriptName = "(standard input)";
    if (options.scriptPath && *options.scriptPath != "-") {
        scriptName = *options.scriptPath;
        scriptDescriptor = ::open(scriptName.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat file {};
        if (scriptDescriptor >= 0 && ::fstat(scriptDescriptor, &file) == 0 &&
            S_ISDIR(file.st_mode)) {
            ::close(scriptDescriptor);
            scriptDescriptor = -1;
            errno = EISDIR;
        }
        if (scriptDescriptor < 0) {
            std::fprintf(stderr, "dcc-cab: cannot read the script %s: %s\n", scriptName.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    const std::unique_ptr<int, void (*)(int*)> scriptFile(
        scriptDescriptor == STDIN_FILENO ? nullptr : &scriptDescriptor,
        [](int* descriptor) { ::close(*descriptor); });

    // Before any thread starts: see QuitSignals.
    const QuitSignals quitSignals;
    if (!quitSignals.isValid()) {
        return 1;
    }
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("dcc-cab");
    QtMainQueue queue(application);
    ProgramLifetime lifetime(queue, std::make_unique<SystemServices>());
    // Everything below goes before the lifetime ends, which then joins every thread left.
    const std::unique_ptr<QSocketNotifier> quitNotifier =
        quitSignals.quitApplicationOnSignal(application);
    UdevDeviceEvents devices;
    const InstalledService<DeviceEvents> installedDevices(&devices);
    LogindPowerEvents power(QDBusConnection::systemBus());
    // Made now, as the window makes it: the cab's panel lists and follows the machine's ports.
    KESSerialPortManager::sharedSerialPortManager();

    BuiltInStation station;
    DCCController cab;
    MemoryTextView received;
    MemoryTextField sendField;
    MemoryButton openClose("Open");
    MemoryPopUpButton modes(3);
    MemoryValueControl speed;
    MemoryButton direction("FORWARD");
    MemoryButton headlight("OFF");
    cab.setReceivedDataTextView(&received);
    cab.setSendTextField(&sendField);
    cab.setOpenCloseButton(&openClose);
    cab.setAddressModeButton(&modes);
    cab.awakeFromNib();
    // The roster names locomotives and says which functions are momentary, as in the window.
    const RosterFile::Loaded roster = RosterFile::load(RosterFile::defaultPath());
    if (roster.problem) {
        std::fprintf(stderr, "dcc-cab: %s\n", roster.problem->c_str());
    }
    cab.setRoster(roster.roster);
    const StationKind stationKind = options.station.value_or(StationKind::board);
    cab.setStationKind(stationKind);
    station.setKind(stationKind);

    std::shared_ptr<KESSerialPort> port;
    if (!options.portPaths.empty()) {
        const std::string& path = options.portPaths.front();
        port =
            KESSerialPort::serialPortWithKnownPath(path, DCCCabCommandLine::nameOfKnownPath(path));
        if (!port) {
            std::fprintf(stderr, "dcc-cab: --port %s: not a terminal\n", path.c_str());
            return 2;
        }
    } else {
        if (!options.simulate) {
            std::fputs("dcc-cab: no --port given: driving the simulated command station\n", stderr);
        }
        std::string why;
        port = station.start(&why);
        if (!port) {
            std::fprintf(stderr, "dcc-cab: the simulated command station cannot start: %s\n",
                         why.c_str());
            return 1;
        }
        const char* const speaker = stationKind == StationKind::board ? "board" : "station";
        const bool keepsBusy = makeStationProtocol(stationKind)->keepsLinkBusy();
        station.setFrameHandler([speaker, keepsBusy](const std::string& line) {
            if (keepsBusy && line.ends_with(" idle")) {
                return; // the packets that only keep the line busy would drown the rest
            }
            std::printf("\n %s %s", speaker, line.c_str());
            flushStandardOutput();
        });
    }
    if (!options.portPaths.empty()) {
        proposeStationLine(*port, stationKind); // unless the command line says otherwise
    }
    if (options.baudRate) {
        port->setBaudRate(*options.baudRate);
    }
    cab.setSerialPort(port);

    // The line is open before the script runs; a port that will not open ends the run, with
    // the panel's words for what to do.
    bool refused = false;
    {
        const Subscription problems = cab.addObserver(
            "statusText", [&](std::string_view) { refused = refused || !port->isOpen(); });
        cab.openOrClosePort(nullptr);
        const QDeadlineTimer deadline(10000);
        while (!port->isOpen() && !refused && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
    }
    if (!port->isOpen()) {
        std::fprintf(stderr, "dcc-cab: cannot open %s: %s\n", port->name().c_str(),
                     cab.statusText().c_str());
        port->close();
        return 1;
    }

    // A line that goes away under the script (the board hung up, the adapter was pulled) ends
    // the run, and so does a reopening the script asked for that fails; a close the script asked
    // for does not.
    int status = 0;
    bool closing = false;
    bool opening = false;
    ScriptInterpreter interpreter(cab, sendField, speed, direction, headlight);
    ScriptPlayer player(interpreter, cab);
    auto lineFailed = [&](const char* what) {
        std::fprintf(stderr, "dcc-cab: %s %s (%s); quitting\n", what, port->name().c_str(),
                     cab.statusText().c_str());
        status = 1;
        player.quit();
    };
    const Subscription lineWatch = port->addObserver("isOpen", [&](std::string_view) {
        if (port->isOpen()) {
            opening = false;
        } else if (!closing && !player.isRunningLine() && !player.isQuitting() && status == 0) {
            lineFailed("the command station hung up on");
        }
    });
    // An opening that fails says so on the status line, the port still closed.
    player.setOpeningHandler([&] { opening = true; });
    const Subscription openWatch = cab.addObserver("statusText", [&](std::string_view) {
        if (opening && !port->isOpen() && !player.isRunningLine() && !player.isQuitting() &&
            status == 0) {
            opening = false;
            lineFailed("cannot open");
        }
    });

    // Phone throttles, once the line is open; the run then outlasts its script.
    // Announced on the network through Avahi where it runs, as in the window.
    std::unique_ptr<PhoneThrottleService> phones;
    if (options.withrottlePort) {
        phones = std::make_unique<PhoneThrottleService>(
            cab, std::make_unique<AvahiServiceAnnouncer>(QDBusConnection::systemBus()));
        PhoneThrottleService::Options served;
        served.enabled = true;
        served.port = *options.withrottlePort;
        served.heartbeat = std::chrono::seconds(options.heartbeatSeconds);
        served.maxPhones = options.maxPhones;
        if (!phones->apply(served)) {
            std::fprintf(stderr, "dcc-cab: %s\n", phones->statusText().c_str());
            port->close();
            return 1;
        }
        std::fprintf(stderr, "dcc-cab: phone throttles (WiThrottle) on port %u\n",
                     static_cast<unsigned>(phones->port()));
        player.setGoesOnAfterInput(true);
    }
    ScriptReader reader(scriptDescriptor, scriptName, player);

    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] {
        closing = true;
        if (phones) {
            phones->apply({}); // no phone drives the cab from here on
        }
        if (port->isOpen()) {
            port->close();
        }
        NotificationCenter::defaultCenter().postNotificationName(
            NotificationCenter::applicationWillTerminateNotification, &application);
    });
    const int loopStatus = application.exec();
    if (station.isRunning()) {
        const std::string who = stationKind == StationKind::board
                                    ? "the board"
                                    : "the simulated " + std::string(stationKindTitle(stationKind));
        std::printf("\n== the layout as %s sees it ==\n%s\n", who.c_str(),
                    station.boardLayout().describe().c_str());
    }
    flushStandardOutput();
    if (reader.failed() && status == 0) {
        status = 1;
    }
    if (const std::uint64_t refused = interpreter.refusedLines(); refused != 0) {
        std::fprintf(stderr, "dcc-cab: %llu script line%s refused\n",
                     static_cast<unsigned long long>(refused), refused == 1 ? " was" : "s were");
        if (status == 0) {
            status = refusedLinesStatus;
        }
    }
    return status != 0 ? status : loopStatus;
}
