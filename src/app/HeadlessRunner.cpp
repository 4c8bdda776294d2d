#include "HeadlessRunner.h"

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
#include "ProgramLifetime.h"
#include "QtMainQueue.h"
#include "QuitSignals.h"
#include "ScriptInterpreter.h"
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
#include <unistd.h>

namespace {

// Feeds the script's lines to the interpreter as they come, holding back while a line takes its
// time (wait, waitUntilIdle), and quits at `quit` or at the end of the input.
class ScriptPlayer {
public:
    ScriptPlayer(ScriptInterpreter& interpreter, DCCController& cab)
        : interpreter_(interpreter), cab_(cab) {
        idleCheck_.setInterval(10);
        QObject::connect(&idleCheck_, &QTimer::timeout, [this] { checkIdle(); });
    }

    // Takes text read from the input; a line runs once its line ending has come.
    void feed(const char* bytes, std::size_t count) {
        partial_.append(bytes, count);
        for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
        play();
    }

    // Whether a script line is running now (so what happens is its doing).
    bool isRunningLine() const { return runningLine_; }
    bool isQuitting() const { return quitting_; }

    void endOfInput() {
        if (!partial_.empty()) {
            lines_.push_back(partial_);
            partial_.clear();
        }
        ended_ = true;
        play();
    }

    void play() {
        while (!holding_ && !quitting_ && !lines_.empty()) {
            const std::string line = lines_.front();
            lines_.pop_front();
            runningLine_ = true;
            const ScriptInterpreter::Step step = interpreter_.run(line, ++lineNumber_);
            runningLine_ = false;
            std::fflush(stdout);
            switch (step.kind) {
            case ScriptInterpreter::Step::Kind::next:
                break;
            case ScriptInterpreter::Step::Kind::wait:
                holding_ = true;
                QTimer::singleShot(step.duration, [this] {
                    holding_ = false;
                    play();
                });
                break;
            case ScriptInterpreter::Step::Kind::waitUntilIdle:
                waitUntilIdle(step.hasDuration ? std::optional(step.duration) : std::nullopt);
                break;
            case ScriptInterpreter::Step::Kind::quit:
                quit();
                return;
            }
        }
        if (!holding_ && !quitting_ && ended_ && lines_.empty()) {
            finishing_ = true;
            waitUntilIdle(std::nullopt);
        }
    }

private:
    // Until the dispatcher has nothing left to write, or at most limit. Without a limit it gives up
    // only when no frame has gone out for twice the reply timeout: the cab sends on after a
    // missing reply, so a dispatcher that still makes no progress by then never will.
    void waitUntilIdle(std::optional<std::chrono::milliseconds> limit) {
        holding_ = true;
        limit_ = limit ? QDeadlineTimer(*limit) : QDeadlineTimer(QDeadlineTimer::Forever);
        framesSeen_ = cab_.dispatcher().framesWritten();
        progress_ = QDeadlineTimer(cab_.replyTimeout() * 2);
        checkIdle();
        if (holding_) {
            idleCheck_.start();
        }
    }

    void checkIdle() {
        if (cab_.dispatcher().framesWritten() != framesSeen_) {
            framesSeen_ = cab_.dispatcher().framesWritten();
            progress_ = QDeadlineTimer(cab_.replyTimeout() * 2);
        }
        const bool idle = cab_.dispatcher().empty();
        if (!idle && !limit_.hasExpired() && !progress_.hasExpired()) {
            return;
        }
        if (!idle) {
            std::fprintf(stderr, "dcc-cab: script line %llu: the dispatcher is still busy; %s\n",
                         static_cast<unsigned long long>(lineNumber_),
                         finishing_ ? "quitting all the same" : "going on");
        }
        idleCheck_.stop();
        holding_ = false;
        if (finishing_) {
            quit();
        } else {
            play();
        }
    }

    void quit() {
        quitting_ = true;
        // Closed now, not at will-terminate: a reply already on its way must not release
        // another frame before the event loop ends.
        if (const auto& port = cab_.serialPort(); port && port->isOpen()) {
            port->close();
        }
        QCoreApplication::quit();
    }

    ScriptInterpreter& interpreter_;
    DCCController& cab_;
    std::string partial_;
    std::deque<std::string> lines_;
    std::uint64_t lineNumber_ = 0;
    bool runningLine_ = false;
    bool holding_ = false;
    bool ended_ = false;
    bool finishing_ = false;
    bool quitting_ = false;
    QTimer idleCheck_;
    QDeadlineTimer limit_;
    QDeadlineTimer progress_;
    std::uint64_t framesSeen_ = 0;
};

} // namespace

int HeadlessRunner::run(int& argc, char** argv, const DCCCabCommandLine::Options& options) {
    // A script file is read before anything else starts, so a wrong path costs nothing.
    std::optional<std::string> scriptText;
    if (options.scriptPath && *options.scriptPath != "-") {
        // Read whole; an empty file is an empty script, a directory or a failed read is not.
        const int fd = ::open(options.scriptPath->c_str(), O_RDONLY | O_CLOEXEC);
        std::string text;
        ssize_t count = fd < 0 ? -1 : 0;
        char buffer[4096];
        while (fd >= 0 && (count = ::read(fd, buffer, sizeof buffer)) != 0) {
            if (count < 0 && errno != EINTR) {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        }
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        if (count < 0) {
            std::fprintf(stderr, "dcc-cab: cannot read the script %s: %s\n",
                         options.scriptPath->c_str(), std::strerror(error));
            return 1;
        }
        scriptText = std::move(text);
    }

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
        station.setFrameHandler([](const std::string& line) {
            std::printf("\n board %s", line.c_str());
            std::fflush(stdout);
        });
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
    // the run; a close the script asked for does not.
    int status = 0;
    bool closing = false;
    ScriptInterpreter interpreter(cab, sendField, speed, direction, headlight);
    ScriptPlayer player(interpreter, cab);
    const Subscription lineWatch = port->addObserver("isOpen", [&](std::string_view) {
        if (!port->isOpen() && !closing && !player.isRunningLine() && !player.isQuitting() &&
            status == 0) {
            std::fprintf(stderr, "dcc-cab: the command station on %s hung up (%s); quitting\n",
                         port->name().c_str(), cab.statusText().c_str());
            status = 1;
            QCoreApplication::quit();
        }
    });

    std::unique_ptr<QSocketNotifier> input;
    if (scriptText) {
        // From inside the event loop, so that a quit at once (an empty script) ends it.
        QTimer::singleShot(0, &application, [&] {
            player.feed(scriptText->data(), scriptText->size());
            player.endOfInput();
        });
    } else {
        input = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(input.get(), &QSocketNotifier::activated, [&] {
            char buffer[4096];
            const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (count > 0) {
                player.feed(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
                input->setEnabled(false);
                player.endOfInput();
            }
        });
    }

    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] {
        closing = true;
        if (port->isOpen()) {
            port->close();
        }
        NotificationCenter::defaultCenter().postNotificationName(
            NotificationCenter::applicationWillTerminateNotification, &application);
    });
    const int loopStatus = application.exec();
    input.reset();
    if (station.isRunning()) {
        std::printf("\n== the layout as the board sees it ==\n%s\n",
                    station.layout().describe().c_str());
    }
    std::fflush(stdout);
    return status != 0 ? status : loopStatus;
}
