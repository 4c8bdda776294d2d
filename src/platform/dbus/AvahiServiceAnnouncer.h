#pragma once

#include "ServiceAnnouncer.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// Announces through Avahi, the machine's mDNS responder, owner of org.freedesktop.Avahi on the
// system bus. announce asks the server ("/", org.freedesktop.Avahi.Server) for an entry group
// (EntryGroupNew), adds the service to it (AddService on any interface and protocol, the default
// domain and this host) and commits it; the group's StateChanged signal then says whether the
// service is established, collides with another one of the same name or failed. On a collision
// the server proposes a new name (GetAlternativeServiceName) and the group is reset and filled
// and committed again under it. withdraw, a new announce, a failure and destruction free the
// group.
//
// Main thread only: made, used and destroyed there. No call blocks on Avahi, so Avahi (or a test's
// fake of it) may live on the main thread too. Answers and signals that belong to an announcement
// withdrawn since are dropped; an entry group that arrives for one is freed at once.
//
// Without Avahi (the bus not connected, or nobody owning the name) the delegate is told "no
// responder" once per announcement, with words for the log. Should Avahi start later, or start
// again after it stopped or failed, the service is announced anew; should it stop, that is
// reported as no responder too.
class AvahiServiceAnnouncer : public QObject, public ServiceAnnouncer {
    Q_OBJECT

public:
    // bus: the system bus in the program, a private bus in tests. The announcer keeps a copy.
    explicit AvahiServiceAnnouncer(QDBusConnection bus);
    // Frees the entry group; a group still being made when this runs goes with the connection.
    ~AvahiServiceAnnouncer() override;

    void announce(const std::string& name, const std::string& type, std::uint16_t port,
                  const std::vector<std::string>& txtRecords) override;
    void withdraw() override;

private Q_SLOTS:
    void groupStateChanged(int state, const QString& error, const QDBusMessage& message);

private:
    struct Service {
        std::string type;
        std::uint16_t port = 0;
        std::vector<std::string> txtRecords;
    };

    void start();
    void groupCreated(QDBusPendingCallWatcher& watcher, bool current);
    void addService(const std::string& name);
    void renameAfterCollision();
    void avahiStarted();
    void avahiStopped();
    void failWith(const std::string& reason);
    void reportUnreachable(const std::string& why);
    // Forgets the current group: frees it on Avahi when free is set (not when Avahi has gone), and
    // stops following its signal. Answers to calls made before are stale from then on.
    void dropGroup(bool free);
    // Sends call without waiting. Once it is answered, handler runs with the finished watcher and
    // whether the announcement is still the one the call was made for.
    void callAsync(const QDBusMessage& call,
                   std::function<void(QDBusPendingCallWatcher&, bool current)> handler);
    QDBusMessage serverCall(const QString& method) const;
    QDBusMessage groupCall(const QString& method) const;

    QDBusConnection bus_;
    QDBusServiceWatcher* avahiWatcher_ = nullptr; // our child; null without a bus
    // The service wanted on the network, while state() is not withdrawn.
    Service service_;
    // The entry group in use; empty while none is.
    QString groupPath_;
    // Counts the announcements and the groups dropped; answers to calls made under an earlier
    // count are stale.
    std::uint64_t generation_ = 0;
};
