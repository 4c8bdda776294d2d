// Follows the machine's serial ports the way the program does, and says what it sees: the ports
// present at start, every arrival and removal as the port manager announces it, and the system's
// sleep and wake. With --open it also opens every listed port (at start and on arrival), so that
// closing before sleep and reopening after wake can be watched on real hardware.
//
// Quit with Ctrl-C (or SIGTERM, or SIGHUP when the terminal goes): the manager then cleans every
// listed port up, as at the program's own quit.

#include "InstalledService.h"
#include "KESSerialPort.h"
#include "KESSerialPortDelegate.h"
#include "KESSerialPortManager.h"
#include "LogindPowerEvents.h"
#include "NotificationCenter.h"
#include "PosixError.h"
#include "ProgramLifetime.h"
#include "QtMainQueue.h"
#include "QuitSignals.h"
#include "SystemServices.h"
#include "UdevDeviceEvents.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>

namespace {

void printUsage(std::FILE* to, const char* program) {
    std::fprintf(to,
                 "usage: %s [--open | --help]\n"
                 "Follows the machine's serial ports: those present, arrivals and removals, and\n"
                 "the system's sleep and wake. --open also opens every listed port, to watch them\n"
                 "closed before sleep and reopened after wake. Ctrl-C quits.\n",
                 program);
}

void say(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string describe(const KESSerialPortManager::PortList& ports) {
    std::string text;
    for (const auto& port : ports) {
        text += "\n    " + port->name() + "  " + port->path();
    }
    return text.empty() ? " none" : text;
}

class Reporter : public KESSerialPortDelegate {
public:
    void serialPortDidReceiveData(KESSerialPort& port, const Bytes& data) override {
        say(port.name() + ": " + std::to_string(data.size()) + " bytes received");
    }
    void serialPortWasRemovedFromSystem(KESSerialPort& port) override {
        // At quit the manager cleans every listed port up, which ends in this same callback;
        // those devices have not gone anywhere.
        if (!quitting) {
            say(port.name() + ": removed from the system");
        }
    }
    void serialPortDidEncounterError(KESSerialPort& port, const PosixError& error) override {
        say(port.name() + ": " + error.localizedDescription());
    }
    void serialPortWasOpened(KESSerialPort& port) override {
        say(port.name() + ": opened at " + std::to_string(port.baudRate().value_or(0)) + " bit/s");
    }
    void serialPortWasClosed(KESSerialPort& port) override {
        say(port.name() + (quitting ? ": closed (quitting)" : ": closed"));
    }

    bool quitting = false;
};

} // namespace

int main(int argc, char** argv) {
    bool openPorts = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            printUsage(stdout, argv[0]);
            return 0;
        }
        if (std::strcmp(argv[i], "--open") == 0) {
            openPorts = true;
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s'\n", argv[0], argv[i]);
            printUsage(stderr, argv[0]);
            return 2;
        }
    }

    // Ctrl-C, SIGTERM and SIGHUP (the terminal went) become a normal quit, so the ports are
    // given back with their own settings.
    const QuitSignals quitSignals;
    if (!quitSignals.isValid()) {
        return 1;
    }
    QCoreApplication application(argc, argv);
    QtMainQueue queue(application);
    ProgramLifetime lifetime(queue, std::make_unique<SystemServices>());
    const std::unique_ptr<QSocketNotifier> quitNotifier =
        quitSignals.quitApplicationOnSignal(application);

    UdevDeviceEvents devices;
    const InstalledService<DeviceEvents> installedDevices(&devices);
    LogindPowerEvents power(QDBusConnection::systemBus());
    Reporter reporter;
    auto adopt = [&](const KESSerialPortManager::PortList& ports) {
        for (const auto& port : ports) {
            port->setDelegate(&reporter);
            if (openPorts) {
                port->open();
            }
        }
    };

    auto& center = NotificationCenter::defaultCenter();
    const Subscription connected = center.addObserverForName(
        KESSerialPortsWereConnectedNotification, nullptr, [&](const Notification& notification) {
            const auto* ports = notification.userInfoValue<KESSerialPortManager::PortList>(
                KESConnectedSerialPortsKey);
            say("connected:" + describe(*ports));
            adopt(*ports);
        });
    const Subscription disconnected = center.addObserverForName(
        KESSerialPortsWereDisconnectedNotification, nullptr, [](const Notification& notification) {
            say("disconnected:" +
                describe(*notification.userInfoValue<KESSerialPortManager::PortList>(
                    KESDisconnectedSerialPortsKey)));
        });
    const Subscription sleeping =
        center.addObserverForName(PowerEvents::willSleepNotification, nullptr,
                                  [](const Notification&) { say("the system is going to sleep"); });
    const Subscription woke =
        center.addObserverForName(PowerEvents::didWakeNotification, nullptr,
                                  [](const Notification&) { say("the system woke up"); });

    KESSerialPortManager& manager = KESSerialPortManager::sharedSerialPortManager();
    if (!manager.availablePorts()) {
        say("serial devices cannot be listed on this machine");
    } else {
        say("present:" + describe(*manager.availablePorts()));
        adopt(*manager.availablePorts());
    }
    say("watching; plug or unplug a serial adapter, or suspend the machine (Ctrl-C quits)");

    const int status = application.exec();
    reporter.quitting = true;
    center.postNotificationName(NotificationCenter::applicationWillTerminateNotification,
                                &application);
    return status; // the lifetime ends the run: threads joined, services uninstalled
}
