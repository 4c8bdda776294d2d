#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <cstddef>
#include <vector>

class PrivateBus;

// A stand-in for systemd-logind on a PrivateBus: owns the name org.freedesktop.login1 on a
// connection of its own, with an object at /org/freedesktop/login1 that answers
// org.freedesktop.login1.Manager.Inhibit(ssss) -> h and sends PrepareForSleep(b).
//
// Each granted lock is a pipe: the caller gets the write end, the fake keeps the read end and so
// can tell when every copy of the write end is gone, which is when logind would see the lock let
// go. The fake's own copies are closed once the reply is sent.
//
// Main thread, like the code under test, so that code must not block on its calls: tests wait
// with QTest::qWaitFor, which serves the calls meanwhile. One FakeLogin per bus; the bus must
// outlive it. Calls still held back when it is destroyed are answered with an error.
class FakeLogin : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    struct InhibitCall {
        QString what;
        QString who;
        QString why;
        QString mode;
    };

    // Throws std::runtime_error if the name or the object cannot be registered.
    explicit FakeLogin(PrivateBus& bus);
    ~FakeLogin() override;
    FakeLogin(const FakeLogin&) = delete;
    FakeLogin& operator=(const FakeLogin&) = delete;

    // Sends PrepareForSleep(start), as logind does before sleep (true) and after wake (false).
    void emitPrepareForSleep(bool start);

    // While set, Inhibit is answered with the D-Bus error org.freedesktop.DBus.Error.AccessDenied.
    void setFailInhibit(bool fail) { failInhibit_ = fail; }
    // While set, Inhibit calls get no answer until sendHeldReplies (each then gets a lock).
    void setHoldReplies(bool hold) { holdReplies_ = hold; }
    void sendHeldReplies();

    // Every Inhibit call received, in order, refused and held ones included.
    const std::vector<InhibitCall>& inhibitCalls() const { return inhibitCalls_; }
    // Locks handed out so far; lock i is the i-th reply that carried a descriptor.
    std::size_t locksHandedOut() const { return readEnds_.size(); }
    // How many of them are still held: some copy of their descriptor is open somewhere.
    std::size_t heldLocks() const;
    // Whether every copy of lock i's descriptor is closed.
    bool isReleased(std::size_t lock) const;

public Q_SLOTS:
    // Called over the bus only.
    Q_SCRIPTABLE QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who,
                                                 const QString& why, const QString& mode);

private:
    void grantLock(const QDBusMessage& call);

    QDBusConnection connection_;
    bool failInhibit_ = false;
    bool holdReplies_ = false;
    std::vector<InhibitCall> inhibitCalls_;
    std::vector<QDBusMessage> heldCalls_;
    std::vector<int> readEnds_;
};
