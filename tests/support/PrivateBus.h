#pragma once

#include <QDBusConnection>
#include <QString>
#include <string>
#include <sys/types.h>
#include <vector>

// A message bus of the test's own: a dbus-daemon started for it, listening on a socket in a
// temporary directory and allowing everything, so that tests never touch the machine's system or
// session bus. Connections are handed to the code under test (which takes its bus as an argument)
// rather than announced through environment variables, which libdbus reads once.
//
// Main thread, once the QCoreApplication exists. The constructor returns when the daemon accepts
// connections, and throws std::runtime_error if it cannot be started. The destructor closes the
// connections made by connect, ends the daemon and reaps it, and removes the directory; copies of
// those connections held elsewhere lose the bus then. Make the bus before, and destroy it after,
// everything that uses it. Should the test process die first, the daemon is ended by the kernel.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The bus's address, as D-Bus clients take it ("unix:path=...,guid=...").
    const QString& address() const { return address_; }

    // A connection of its own to this bus, known to QtDBus under name and this bus's number, so
    // buses of different tests never share one. The same name gives the same connection again.
    QDBusConnection connect(const QString& name);

private:
    void stopDaemon();
    void removeDirectory();

    std::string directory_;
    pid_t daemon_ = -1;
    QString address_;
    QString namePrefix_;
    std::vector<QString> connectionNames_;
};
