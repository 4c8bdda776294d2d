#pragma once

#include "PowerEvents.h"

#include <QDBusConnection>
#include <QObject>
#include <cstdint>

class QDBusPendingCallWatcher;

// The program's sleep and wake, from systemd-logind: its signal PrepareForSleep(true) becomes
// willSleepNotification, PrepareForSleep(false) didWakeNotification.
//
// While the machine is awake the object holds a "delay" inhibitor lock for sleep, so logind waits
// for it before suspending. On will-sleep the subscribers run first (they close the ports), then
// the lock is let go and the machine may sleep; after wake a new lock is asked for. Signals from
// any sender other than the owner of org.freedesktop.login1 are ignored. Notifications follow the
// changes of state only: a repeated PrepareForSleep(true) posts nothing more, and
// PrepareForSleep(false) while awake posts nothing (it only asks for a lock if none is held or
// asked for).
//
// The notifications' sender is the PowerEvents part of the object, whose address differs from the
// whole object's (QObject comes first): to subscribe to this source only, pass a PowerEvents
// pointer to it, not the LogindPowerEvents pointer.
//
// Main thread only: made, used and destroyed there. Nothing is posted from inside the
// constructor; notifications are posted from the main thread's event loop. No call blocks on
// logind: the lock is asked for asynchronously, so logind (or a test's fake of it) may live on the
// main thread too. Without a connected bus, or when logind refuses the lock, one line goes to the
// log and the object carries on.
class LogindPowerEvents : public QObject, public PowerEvents {
    Q_OBJECT

public:
    // bus: the system bus in the program, a private bus in tests. The object keeps a copy.
    explicit LogindPowerEvents(QDBusConnection bus);
    // Lets go of the lock and stops following the signal.
    ~LogindPowerEvents() override;

    // Whether a lock from logind is held now, for tests.
    bool isHoldingLock() const { return lockDescriptor_ >= 0; }

private Q_SLOTS:
    void prepareForSleep(bool start);

private:
    void takeLock();
    void lockReplied(QDBusPendingCallWatcher& watcher, std::uint64_t sleepsWhenAsked);
    void releaseLock();

    QDBusConnection bus_;
    bool subscribed_ = false;
    // Our own duplicate of the lock's descriptor; -1 while no lock is held.
    int lockDescriptor_ = -1;
    bool asleep_ = false;
    // Counts will-sleeps, so a reply to a request made before the latest one is recognised.
    std::uint64_t sleeps_ = 0;
    // A lock was asked for since the latest will-sleep and no reply has come yet.
    bool lockRequested_ = false;
    // The latest request was refused and said so in the log; cleared when a lock is granted.
    bool refusalLogged_ = false;
};
