#include "DCCCabApplication.h"

#include "DCCController.h"
#include "FreedesktopNotifier.h"
#include "HBAppDelegate.h"
#include "InstalledService.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "LogindPowerEvents.h"
#include "MainWindow.h"
#include "NotificationCenter.h"
#include "ProgramLifetime.h"
#include "QtMainQueue.h"
#include "QuitSignals.h"
#include "SystemServices.h"
#include "UdevDeviceEvents.h"

#include <QApplication>
#include <QDBusConnection>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr const char* usage = R"(Usage: dcc-cab [options]

Drives a DCC command station on a serial line, and is a small serial terminal: choose the port
and the baud rate, open it, type text to send, and watch what comes back.

Options:
  --port PATH         also list the terminal at PATH, which the machine's device list does not
                      show (the simulated board's /dev/pts/N, a link made by a tool), and choose
                      it; may be given more than once, the first one given is chosen
  --open              open the chosen port once the window shows
  --screenshot FILE   save a picture of the window to FILE (PNG) once it shows, then quit
  -h, --help          show this text and quit
  --version           show the version and quit

The throttle's keys: Space stop, Esc emergency stop, Up and Down one speed step, Page Up and
Page Down a seventh of full speed, D direction, L headlight; they act wherever the focus is,
except in the send field, where only Esc does. Ctrl+O opens or closes the port, Ctrl+L clears
the received text, Ctrl+Q quits. Closing the window, Ctrl+C, SIGTERM and SIGHUP quit the same
way: every port is closed and given back with its own settings.
)";

// The name a --port terminal is listed under: its path below /dev, else its file name.
std::string nameOfKnownPath(const std::string& path) {
    if (path.rfind("/dev/", 0) == 0) {
        return path.substr(5);
    }
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Empty when path is a terminal, else what is wrong with it. Told from the device number, without
// opening the device: opening a serial adapter raises DTR, and many boards reset when it rises.
std::string whyNotATerminal(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISCHR(status.st_mode)) {
        return "not a terminal";
    }
    const unsigned int deviceMajor = major(status.st_rdev);
    // Pseudo-terminal slaves have no entry in sysfs; the kernel gives them majors 136 to 143.
    if (deviceMajor >= 136 && deviceMajor <= 143) {
        return {};
    }
    const std::string subsystem = "/sys/dev/char/" + std::to_string(deviceMajor) + ":" +
                                  std::to_string(minor(status.st_rdev)) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t length = ::readlink(subsystem.c_str(), target, sizeof target - 1);
    if (length > 0) {
        const std::string_view link(target, static_cast<std::size_t>(length));
        if (link.size() >= 4 && link.substr(link.size() - 4) == "/tty") {
            return {};
        }
    }
    return "not a terminal";
}

} // namespace

DCCCabApplication::DCCCabApplication(int& argc, char** argv) : argc_(argc), argv_(argv) {}

std::optional<int> DCCCabApplication::parseArguments(const std::vector<std::string>& arguments,
                                                     Options& options) {
    auto wrong = [](const std::string& what) {
        std::fprintf(stderr, "dcc-cab: %s\n\n%s", what.c_str(), usage);
        return 2;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("dcc-cab %s\n", DCCCAB_VERSION);
            return 0;
        }
        if (argument == "--open") {
            options.openChosenPort = true;
            continue;
        }
        std::optional<std::string>* single = nullptr;
        std::vector<std::string>* repeated = nullptr;
        std::string option = argument;
        if (argument.rfind("--port", 0) == 0) {
            repeated = &options.portPaths;
            option = "--port";
        } else if (argument.rfind("--screenshot", 0) == 0) {
            single = &options.screenshotPath;
            option = "--screenshot";
        } else {
            return wrong("unknown option '" + argument + "'");
        }
        std::string value;
        if (argument == option) {
            if (i + 1 == arguments.size()) {
                return wrong(option + " needs a path");
            }
            value = arguments[++i];
        } else if (argument.size() > option.size() && argument[option.size()] == '=') {
            value = argument.substr(option.size() + 1);
        } else {
            return wrong("unknown option '" + argument + "'");
        }
        if (value.empty()) {
            return wrong(option + " needs a path");
        }
        if (repeated != nullptr) {
            repeated->push_back(value);
        } else {
            *single = value;
        }
    }
    for (const std::string& path : options.portPaths) {
        const std::string why = whyNotATerminal(path);
        if (!why.empty()) {
            std::fprintf(stderr,
                         "dcc-cab: --port %s: %s; give the path of a serial device or "
                         "pseudo-terminal\n",
                         path.c_str(), why.c_str());
            return 2;
        }
    }
    return std::nullopt;
}

QMetaObject::Connection DCCCabApplication::deliverWillTerminate(QCoreApplication& application,
                                                                HBAppDelegate& delegate) {
    return QObject::connect(
        &application, &QCoreApplication::aboutToQuit, &application, [&application, &delegate] {
            delegate.applicationWillTerminate();
            NotificationCenter::defaultCenter().postNotificationName(
                NotificationCenter::applicationWillTerminateNotification, &application);
        });
}

int DCCCabApplication::run() {
    Options options;
    if (const std::optional<int> status =
            parseArguments(std::vector<std::string>(argv_ + 1, argv_ + argc_), options)) {
        return *status;
    }

    // Before any thread starts: see QuitSignals.
    const QuitSignals quitSignals;
    if (!quitSignals.isValid()) {
        return 1;
    }
    return runWindow(options, quitSignals);
}

int DCCCabApplication::runWindow(const Options& options, const QuitSignals& quitSignals) {
    QApplication application(argc_, argv_);
    QApplication::setApplicationName("dcc-cab");
    QApplication::setApplicationVersion(DCCCAB_VERSION);
    QtMainQueue queue(application);
    ProgramLifetime lifetime(queue, std::make_unique<SystemServices>());
    // Everything below goes before the lifetime ends, which then joins every thread left.

    const std::unique_ptr<QSocketNotifier> quitNotifier =
        quitSignals.quitApplicationOnSignal(application);

    UdevDeviceEvents devices;
    const InstalledService<DeviceEvents> installedDevices(&devices);
    LogindPowerEvents power(QDBusConnection::systemBus());
    FreedesktopNotifier notifier(QDBusConnection::sessionBus());
    const InstalledService<DesktopNotifier> installedNotifier(&notifier);

    HBAppDelegate delegate;
    KESSerialPortManager& manager = KESSerialPortManager::sharedSerialPortManager();
    std::shared_ptr<KESSerialPort> firstGiven;
    for (const std::string& path : options.portPaths) {
        auto port = KESSerialPort::serialPortWithKnownPath(path, nameOfKnownPath(path));
        if (!port) {
            std::fprintf(stderr, "dcc-cab: --port %s: not a terminal\n", path.c_str());
            return 2;
        }
        const auto& listed = manager.availablePorts();
        if (!listed || std::find(listed->begin(), listed->end(), port) == listed->end()) {
            manager.insertObjectInAvailablePortsAtIndex(port, manager.countOfAvailablePorts());
        }
        if (!firstGiven) {
            firstGiven = port;
        }
    }

    DCCController controller;
    controller.setSerialPort(firstGiven);
    MainWindow window(controller);
    delegate.setWindow(&window);
    controller.awakeFromNib();

    const QMetaObject::Connection willTerminate = deliverWillTerminate(application, delegate);
    window.show();
    if (options.openChosenPort) {
        controller.openOrClosePort(nullptr);
    }
    int screenshotStatus = 0;
    QTimer screenshotTimer;
    if (options.screenshotPath) {
        // Taken once the window has been laid out and, with --open, the port has reported
        // (or after three seconds at most, whatever it says then).
        const QString file = QString::fromStdString(*options.screenshotPath);
        const bool waitForOpen = options.openChosenPort && firstGiven != nullptr;
        // The count lives in the handler: this block ends long before the timer fires.
        QObject::connect(&screenshotTimer, &QTimer::timeout, &window,
                         [&, file, waitForOpen, ticks = 0]() mutable {
                             const auto& port = controller.serialPort();
                             if (++ticks < 60 && waitForOpen && !(port && port->isOpen())) {
                                 return;
                             }
                             screenshotTimer.stop();
                             if (!window.grab().save(file, "PNG")) {
                                 std::fprintf(stderr,
                                              "dcc-cab: cannot write the screenshot to %s\n",
                                              qPrintable(file));
                                 screenshotStatus = 1;
                             }
                             QCoreApplication::quit();
                         });
        screenshotTimer.start(50);
    }
    const int status = application.exec();
    QObject::disconnect(willTerminate);
    return screenshotStatus != 0 ? screenshotStatus : status;
}
