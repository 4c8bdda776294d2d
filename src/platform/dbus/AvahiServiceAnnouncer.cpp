#include "AvahiServiceAnnouncer.h"

#include "MainQueue.h"

#include <QByteArray>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QList>
#include <utility>

namespace {

const QString service = QStringLiteral("org.freedesktop.Avahi");
const QString serverPath = QStringLiteral("/");
const QString serverInterface = QStringLiteral("org.freedesktop.Avahi.Server");
const QString groupInterface = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
const QString stateChanged = QStringLiteral("StateChanged");
const char* const stateChangedSlot = SLOT(groupStateChanged(int, QString, QDBusMessage));

// Avahi's values for "any": every network interface, IPv4 and IPv6.
constexpr int anyInterface = -1;
constexpr int anyProtocol = -1;
constexpr uint noFlags = 0;

// The entry group's states, as StateChanged gives them.
enum GroupState : int {
    uncommitted = 0,
    registering = 1,
    established = 2,
    collision = 3,
    failure = 4,
};

const char* const notRunning = "Avahi is not running";
const char* const whatItMeans =
    ": phones will not find the server by itself; they can connect by address and port";

// Whether error says that nobody answers for Avahi's name, rather than that Avahi refused.
bool avahiIsAbsent(const QDBusError& error) {
    if (error.type() == QDBusError::ServiceUnknown ||
        error.name() == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        return true;
    }
    // The bus could not start it on demand (not installed, disabled, masked).
    return error.name().startsWith(QStringLiteral("org.freedesktop.DBus.Error.Spawn")) ||
           error.name().startsWith(QStringLiteral("org.freedesktop.systemd1."));
}

std::string describe(const QDBusError& error) {
    return error.message().toStdString() + " (" + error.name().toStdString() + ")";
}

} // namespace

AvahiServiceAnnouncer::AvahiServiceAnnouncer(QDBusConnection bus) : bus_(std::move(bus)) {
    DCCCAB_ASSERT_MAIN_THREAD();
    // TXT records travel as an array of byte arrays ("aay"), which QtDBus marshals only once told.
    qDBusRegisterMetaType<QList<QByteArray>>();
    if (bus_.isConnected()) {
        avahiWatcher_ = new QDBusServiceWatcher(service, bus_,
                                                QDBusServiceWatcher::WatchForRegistration |
                                                    QDBusServiceWatcher::WatchForUnregistration,
                                                this);
        connect(avahiWatcher_, &QDBusServiceWatcher::serviceRegistered, this,
                [this] { avahiStarted(); });
        connect(avahiWatcher_, &QDBusServiceWatcher::serviceUnregistered, this,
                [this] { avahiStopped(); });
    }
}

AvahiServiceAnnouncer::~AvahiServiceAnnouncer() {
    DCCCAB_ASSERT_MAIN_THREAD();
    dropGroup(true);
    // Calls still on their way die with their watchers, our children. Avahi frees a group whose
    // answer nobody reads once this connection closes.
}

void AvahiServiceAnnouncer::announce(const std::string& name, const std::string& type,
                                     std::uint16_t port,
                                     const std::vector<std::string>& txtRecords) {
    DCCCAB_ASSERT_MAIN_THREAD();
    withdraw();
    service_ = {type, port, txtRecords};
    beginRegistering(name);
    start();
}

void AvahiServiceAnnouncer::withdraw() {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (state() == State::withdrawn) {
        return;
    }
    dropGroup(true);
    service_ = {};
    endAnnouncement();
}

void AvahiServiceAnnouncer::start() {
    if (!bus_.isConnected()) {
        std::string why = "Not connected to the system bus";
        const QString detail = bus_.lastError().message();
        if (!detail.isEmpty()) {
            why += " (" + detail.toStdString() + ")";
        }
        // Reported from the event loop, as every outcome is, and only if still wanted then.
        QMetaObject::invokeMethod(
            this,
            [this, why, generation = generation_] {
                if (generation == generation_) {
                    reportUnreachable(why);
                }
            },
            Qt::QueuedConnection);
        return;
    }
    callAsync(
        serverCall(QStringLiteral("EntryGroupNew")),
        [this](QDBusPendingCallWatcher& watcher, bool current) { groupCreated(watcher, current); });
}

void AvahiServiceAnnouncer::groupCreated(QDBusPendingCallWatcher& watcher, bool current) {
    const QDBusPendingReply<QDBusObjectPath> reply = watcher;
    if (!current) {
        if (!reply.isError()) {
            // Made for an announcement withdrawn meanwhile: nobody else will free it.
            QDBusMessage free = QDBusMessage::createMethodCall(
                service, reply.value().path(), groupInterface, QStringLiteral("Free"));
            bus_.send(free);
        }
        return;
    }
    if (reply.isError()) {
        const QDBusError error = reply.error();
        if (avahiIsAbsent(error)) {
            reportUnreachable(notRunning);
        } else {
            failWith("Avahi gave no entry group: " + describe(error));
        }
        return;
    }
    groupPath_ = reply.value().path();
    // Followed before anything is committed, so no change of state can be missed.
    bus_.connect(service, groupPath_, groupInterface, stateChanged, this, stateChangedSlot);
    addService(name());
}

void AvahiServiceAnnouncer::addService(const std::string& name) {
    QList<QByteArray> txt;
    for (const std::string& record : service_.txtRecords) {
        txt.append(QByteArray::fromStdString(record));
    }
    QDBusMessage call = groupCall(QStringLiteral("AddService"));
    // Each argument in the exact D-Bus type of the method's signature (iiussssqaay). QVariant has
    // no constructor for a 16-bit integer: the port would go out as an int32 without fromValue.
    call << anyInterface << anyProtocol << noFlags << QString::fromStdString(name)
         << QString::fromStdString(service_.type) << QString() << QString()
         << QVariant::fromValue(static_cast<ushort>(service_.port)) << QVariant::fromValue(txt);
    callAsync(call, [this, name](QDBusPendingCallWatcher& added, bool current) {
        if (!current) {
            return;
        }
        if (added.isError()) {
            failWith("Avahi refused the service \"" + name + "\": " + describe(added.error()));
            return;
        }
        callAsync(groupCall(QStringLiteral("Commit")), [this](QDBusPendingCallWatcher& committed,
                                                              bool stillCurrent) {
            if (stillCurrent && committed.isError()) {
                failWith("Avahi could not commit the service: " + describe(committed.error()));
            }
        });
    });
}

void AvahiServiceAnnouncer::groupStateChanged(int state, const QString& error,
                                              const QDBusMessage& message) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (groupPath_.isEmpty() || message.path() != groupPath_) {
        return; // a group dropped since, whose signal was already on its way
    }
    switch (state) {
    case established:
        reportAnnounced();
        break;
    case collision:
        renameAfterCollision();
        break;
    case failure:
        failWith("Avahi could not announce the service: " + error.toStdString());
        break;
    case uncommitted:
    case registering:
    default:
        break; // on the way to one of the above
    }
}

void AvahiServiceAnnouncer::renameAfterCollision() {
    QDBusMessage call = serverCall(QStringLiteral("GetAlternativeServiceName"));
    call << QString::fromStdString(name());
    callAsync(call, [this](QDBusPendingCallWatcher& watcher, bool current) {
        if (!current) {
            return;
        }
        const QDBusPendingReply<QString> reply = watcher;
        if (reply.isError()) {
            failWith("Avahi proposed no other name for \"" + name() +
                     "\": " + describe(reply.error()));
            return;
        }
        const std::string newName = reply.value().toStdString();
        // Reset's answer does not matter: the group is filled again right after it, in order,
        // and a failure shows in that call's answer.
        bus_.send(groupCall(QStringLiteral("Reset")));
        addService(newName);
        reportRenamed(newName);
    });
}

void AvahiServiceAnnouncer::avahiStarted() {
    DCCCAB_ASSERT_MAIN_THREAD();
    // Only what the Avahi before could not do: one started on demand by our own call (D-Bus
    // activation) registers its name while that call is on its way, and answers it.
    if (state() != State::noResponder && state() != State::failed) {
        return;
    }
    dropGroup(false);
    beginRegistering(name());
    start();
}

void AvahiServiceAnnouncer::avahiStopped() {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (state() == State::withdrawn || state() == State::noResponder) {
        return;
    }
    reportUnreachable(notRunning);
}

void AvahiServiceAnnouncer::failWith(const std::string& reason) {
    dropGroup(true);
    reportFailed(reason);
}

void AvahiServiceAnnouncer::reportUnreachable(const std::string& why) {
    dropGroup(false);
    reportNoResponder(why + whatItMeans);
}

void AvahiServiceAnnouncer::dropGroup(bool free) {
    ++generation_;
    if (groupPath_.isEmpty()) {
        return;
    }
    bus_.disconnect(service, groupPath_, groupInterface, stateChanged, this, stateChangedSlot);
    if (free) {
        bus_.send(groupCall(QStringLiteral("Free")));
    }
    groupPath_.clear();
}

void AvahiServiceAnnouncer::callAsync(
    const QDBusMessage& call, std::function<void(QDBusPendingCallWatcher&, bool current)> handler) {
    // Asynchronous: a blocking call would freeze the window, and never return if Avahi's answer
    // had to come from this thread.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, handler = std::move(handler),
             generation = generation_](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                handler(*finished, generation == generation_);
            });
}

QDBusMessage AvahiServiceAnnouncer::serverCall(const QString& method) const {
    return QDBusMessage::createMethodCall(service, serverPath, serverInterface, method);
}

QDBusMessage AvahiServiceAnnouncer::groupCall(const QString& method) const {
    return QDBusMessage::createMethodCall(service, groupPath_, groupInterface, method);
}
