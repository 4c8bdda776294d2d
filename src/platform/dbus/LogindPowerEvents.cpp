#include "LogindPowerEvents.h"

#include "Log.h"
#include "MainQueue.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

const QString service = QStringLiteral("org.freedesktop.login1");
const QString path = QStringLiteral("/org/freedesktop/login1");
const QString interface = QStringLiteral("org.freedesktop.login1.Manager");

const char* const whatToDo = "Close the serial ports yourself before suspending the machine.";

// Takes the finished call out of watcher and returns a descriptor of our own for the lock in its
// reply, or -1 with error set. When this returns, the reply and every copy of the descriptor in it
// are gone: the watcher would otherwise keep them, and so the lock, until deleteLater gets to it
// (it is not deleted inside its own signal).
int ownLock(QDBusPendingCallWatcher& watcher, QDBusError& error) {
    QDBusPendingCall call = QDBusPendingCall::fromCompletedCall(QDBusMessage());
    call.swap(watcher);
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = call;
    if (reply.isError()) {
        error = reply.error();
        return -1;
    }
    const QDBusUnixFileDescriptor lock = reply.value();
    if (!lock.isValid()) {
        error = QDBusError(QDBusError::InvalidSignature, QStringLiteral("no descriptor in reply"));
        return -1;
    }
    const int descriptor = ::fcntl(lock.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0) {
        error = QDBusError(QDBusError::Failed, QString::fromLocal8Bit(std::strerror(errno)));
    }
    return descriptor;
}

} // namespace

LogindPowerEvents::LogindPowerEvents(QDBusConnection bus) : bus_(std::move(bus)) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!bus_.isConnected()) {
        std::string line = "Sleep and wake will not be followed: not connected to the system bus";
        const QString reason = bus_.lastError().message();
        if (!reason.isEmpty()) {
            line += " (" + reason.toStdString() + ")";
        }
        Log::line(line + ". " + whatToDo);
        return;
    }
    subscribed_ = bus_.connect(service, path, interface, QStringLiteral("PrepareForSleep"), this,
                               SLOT(prepareForSleep(bool)));
    takeLock();
}

LogindPowerEvents::~LogindPowerEvents() {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (subscribed_) {
        bus_.disconnect(service, path, interface, QStringLiteral("PrepareForSleep"), this,
                        SLOT(prepareForSleep(bool)));
    }
    releaseLock();
    // Requests still on their way die with their watchers, our children; a reply that comes
    // later is dropped by QtDBus, descriptor and all.
}

void LogindPowerEvents::prepareForSleep(bool start) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (start) {
        if (asleep_) {
            return; // the ports were closed and the lock let go at the first one
        }
        asleep_ = true;
        ++sleeps_;
        lockRequested_ = false; // a reply still on its way is for the waking period just ended
        postWillSleep();
        releaseLock();
        return;
    }
    if (asleep_) {
        asleep_ = false;
        postDidWake();
    }
    takeLock();
}

void LogindPowerEvents::takeLock() {
    if (lockDescriptor_ >= 0 || lockRequested_) {
        return;
    }
    lockRequested_ = true;
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("DCC Cab")
         << QStringLiteral("Close the serial ports before the machine sleeps")
         << QStringLiteral("delay");
    // Asynchronous: a blocking call would freeze the window, and never return if logind's answer
    // had to come from this thread.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, sleepsWhenAsked = sleeps_](QDBusPendingCallWatcher* finished) {
                lockReplied(*finished, sleepsWhenAsked);
            });
}

void LogindPowerEvents::lockReplied(QDBusPendingCallWatcher& watcher,
                                    std::uint64_t sleepsWhenAsked) {
    DCCCAB_ASSERT_MAIN_THREAD();
    QDBusError error;
    const int descriptor = ownLock(watcher, error);
    watcher.deleteLater();
    if (sleepsWhenAsked != sleeps_) {
        // The machine started going to sleep after this lock was asked for; holding it would only
        // hold up the sleep. After wake a new one is asked for.
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return;
    }
    lockRequested_ = false;
    if (descriptor < 0) {
        if (!refusalLogged_) {
            refusalLogged_ = true;
            Log::line("Sleep and wake may not be followed: the login manager gave no sleep lock (" +
                      error.name().toStdString() + ": " + error.message().toStdString() + "). " +
                      whatToDo);
        }
        return;
    }
    refusalLogged_ = false;
    lockDescriptor_ = descriptor;
}

void LogindPowerEvents::releaseLock() {
    if (lockDescriptor_ >= 0) {
        ::close(lockDescriptor_);
        lockDescriptor_ = -1;
    }
}
