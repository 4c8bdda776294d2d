#include "DCCCabApplication.h"

#include "AvahiServiceAnnouncer.h"
#include "BuiltInStation.h"
#include "DCCController.h"
#include "FreedesktopNotifier.h"
#include "HBAppDelegate.h"
#include "InstalledService.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "Log.h"
#include "LogindPowerEvents.h"
#include "MainWindow.h"
#include "NotificationCenter.h"
#include "PhoneThrottleService.h"
#include "ProgramLifetime.h"
#include "QtMainQueue.h"
#include "QuitSignals.h"
#include "RosterFile.h"
#include "SystemServices.h"
#include "UdevDeviceEvents.h"
#include "WindowSettings.h"

#include <QApplication>
#include <QDBusConnection>
#include <QPixmap>
#include <QSettings>
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

DCCCabApplication::DCCCabApplication(int& argc, char** argv) : argc_(argc), argv_(argv) {}

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
            DCCCabCommandLine::parse(std::vector<std::string>(argv_ + 1, argv_ + argc_), options)) {
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
        auto port =
            KESSerialPort::serialPortWithKnownPath(path, DCCCabCommandLine::nameOfKnownPath(path));
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

    // What the last run left; the command line goes first. A remembered port that is not here
    // now is simply not chosen.
    const std::unique_ptr<QSettings> settingsStore = WindowSettings::userSettings();
    const WindowSettings saved = WindowSettings::load(*settingsStore);
    const bool portFromCommandLine = firstGiven != nullptr || options.simulate;
    const bool savedSimulated =
        !portFromCommandLine && saved.port == QString::fromUtf8(WindowSettings::simulatedPortKey);
    if (!portFromCommandLine && saved.port && !savedSimulated && manager.availablePorts()) {
        firstGiven = WindowSettings::portForKey(*saved.port, *manager.availablePorts());
        if (firstGiven && saved.baudRate) {
            firstGiven->setBaudRate(*saved.baudRate);
        }
    }

    // Before the cab, so that it goes after it: its port is the last to close.
    BuiltInStation station;
    // The simulated station is of the kind asked for, or of the kind it was last time.
    std::optional<StationKind> simulatedKind = options.station;
    if (const auto remembered =
            saved.stationKinds.find(QString::fromUtf8(WindowSettings::simulatedPortKey));
        !simulatedKind && remembered != saved.stationKinds.end()) {
        simulatedKind = stationKindFromWord(remembered->second.toStdString());
    }
    station.setKind(simulatedKind.value_or(StationKind::board));
    DCCController controller;
    const RosterFile::Loaded roster = RosterFile::load(RosterFile::defaultPath());
    controller.setRoster(roster.roster);
    bool openChosen = options.openChosenPort;
    // A first run on a machine with no serial port shows a working throttle at once.
    if (options.simulate || savedSimulated ||
        (!firstGiven && manager.countOfAvailablePorts() == 0)) {
        std::string why;
        firstGiven = station.start(&why);
        if (!firstGiven) {
            std::fprintf(stderr, "dcc-cab: the simulated command station cannot start: %s\n",
                         why.c_str());
            if (options.simulate) {
                return 1;
            }
        }
        openChosen = firstGiven != nullptr;
    }
    if (firstGiven && options.baudRate) {
        firstGiven->setBaudRate(*options.baudRate);
    }
    controller.setSerialPort(firstGiven);
    // Phone throttles, as they were left; found on the network through Avahi where it runs.
    // Made before the window, which follows it, and gone after it.
    PhoneThrottleService phones(
        controller, std::make_unique<AvahiServiceAnnouncer>(QDBusConnection::systemBus()));
    MainWindow window(controller, &station);
    delegate.setWindow(&window);
    window.setPhoneThrottles(&phones);
    controller.awakeFromNib();
    // The window's size at a first run: its own, or the screen's where that is smaller.
    window.restoreSettings(saved);
    if (saved.locoAddress) {
        controller.setLocoAddress(*saved.locoAddress); // sends nothing
    }
    if (options.station) {
        window.chooseStationKind(*options.station);
    }
    PhoneThrottleService::Options phoneOptions;
    phoneOptions.enabled = saved.phonesEnabled.value_or(false);
    phoneOptions.port = static_cast<std::uint16_t>(saved.phonesPort.value_or(phoneOptions.port));
    phoneOptions.heartbeat =
        std::chrono::seconds(saved.phonesHeartbeat.value_or(phoneOptions.heartbeat.count()));
    phoneOptions.maxPhones = saved.phonesMax.value_or(phoneOptions.maxPhones);
    phoneOptions.layoutName = saved.layoutName.value_or(QString()).toStdString();
    if (!phones.apply(phoneOptions)) {
        window.showProblem(QString::fromStdString(phones.statusText()));
    }
    if (roster.problem) {
        Log::line(*roster.problem);
        window.showProblem(QString::fromStdString(*roster.problem));
    }

    const QMetaObject::Connection willTerminate = deliverWillTerminate(application, delegate);
    // The manager closes the ports it lists at will-terminate; the station's is not one of them.
    const QMetaObject::Connection stationCloses =
        QObject::connect(&application, &QCoreApplication::aboutToQuit, &application, [&station] {
            if (station.port() && station.port()->isOpen()) {
                station.port()->close();
            }
        });
    window.show();
    if (openChosen) {
        controller.openOrClosePort(nullptr);
    }
    int screenshotStatus = 0;
    QTimer screenshotTimer;
    if (options.screenshotPath) {
        // Taken once the window has been laid out and, with --open, the port has reported
        // (or after three seconds at most, whatever it says then).
        const QString file = QString::fromStdString(*options.screenshotPath);
        const bool waitForOpen = openChosen && firstGiven != nullptr;
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
    // A picture for the documentation leaves the operator's settings as they were.
    if (!options.screenshotPath) {
        window.settings().save(*settingsStore);
    }
    QObject::disconnect(willTerminate);
    QObject::disconnect(stationCloses);
    return screenshotStatus != 0 ? screenshotStatus : status;
}
