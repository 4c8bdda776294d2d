// Follows the machine's serial ports the way the program does, and says what it sees: the ports
// present at start, every arrival and removal as the port manager announces it, and the system's
// sleep and wake. With --open it also opens every listed port (at start and on arrival), so that
// closing before sleep and reopening after wake can be watched on real hardware.
//
// Quit with Ctrl-C: the manager then cleans every listed port up, as at the program's own quit.

#include "BackgroundThreads.h"
#include "KESSerialPort.h"
#include "KESSerialPortDelegate.h"
#include "KESSerialPortManager.h"
#include "LogindPowerEvents.h"
#include "NotificationCenter.h"
#include "PosixError.h"
#include "QtMainQueue.h"
#include "UdevDeviceEvents.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

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
        say(port.name() + ": removed from the system");
    }
    void serialPortDidEncounterError(KESSerialPort& port, const PosixError& error) override {
        say(port.name() + ": " + error.localizedDescription());
    }
    void serialPortWasOpened(KESSerialPort& port) override {
        say(port.name() + ": opened at " + std::to_string(port.baudRate().value_or(0)) + " bit/s");
    }
    void serialPortWasClosed(KESSerialPort& port) override { say(port.name() + ": closed"); }
};

} // namespace

int main(int argc, char** argv) {
    // Ctrl-C and SIGTERM become a normal quit, read from the event loop.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);
    const int quitFd = ::signalfd(-1, &quitSignals, SFD_CLOEXEC | SFD_NONBLOCK);

    QCoreApplication application(argc, argv);
    const bool openPorts = argc > 1 && std::strcmp(argv[1], "--open") == 0;
    if (argc > 1 && !openPorts) {
        std::fprintf(stderr, "usage: %s [--open]\n", argv[0]);
        return 2;
    }
    QtMainQueue queue(application);
    MainQueue::setShared(&queue);
    QSocketNotifier quitNotifier(quitFd, QSocketNotifier::Read);
    QObject::connect(&quitNotifier, &QSocketNotifier::activated, &application,
                     [] { QCoreApplication::quit(); });

    UdevDeviceEvents devices;
    DeviceEvents::install(&devices);
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
    center.postNotificationName(NotificationCenter::applicationWillTerminateNotification,
                                &application);
    queue.shutDown();
    BackgroundThreads::shared().joinAll();
    MainQueue::setShared(nullptr);
    DeviceEvents::install(nullptr);
    ::close(quitFd);
    return status;
}
