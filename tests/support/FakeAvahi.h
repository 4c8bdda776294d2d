#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <vector>

class PrivateBus;

// A stand-in for Avahi on a PrivateBus: owns org.freedesktop.Avahi on a connection of its own
// and answers, at "/", org.freedesktop.Avahi.Server's EntryGroupNew() -> o (groups
// /Client1/EntryGroup1, 2, ... in the order asked) and GetAlternativeServiceName(s) -> s ("Name"
// -> "Name #2" -> "Name #3"); at each group, org.freedesktop.Avahi.EntryGroup's
// AddService(iiussssqaay), Commit, Reset, Free and GetState, for the client that made the group
// only. A group tells that client of each change of its state with StateChanged(i, s), sent to it
// alone as Avahi does.
//
// Commit answers, then goes through "registering" (1) to "established" (2) at once, unless the
// test asked for a collision (3) or a failure (4). AddService refuses an empty name or one longer
// than 63 bytes, and a group that is not uncommitted (0) or in collision, as Avahi does; Commit
// refuses an empty group.
//
// Main thread, like the code under test, so that code must not block on its calls: tests wait
// with QTest::qWaitFor, which serves the calls meanwhile. One FakeAvahi per bus at a time; the bus
// must outlive it. Its name is given up when it is destroyed, so later calls find nobody; a new
// one on the same bus starts with no groups, as a restarted Avahi would.
class FakeAvahi : public QDBusVirtualObject {
public:
    enum State : int {
        uncommitted = 0,
        registering = 1,
        established = 2,
        collision = 3,
        failure = 4,
    };

    struct AddServiceCall {
        QString group;
        int interface = 0;
        int protocol = 0;
        uint flags = 0;
        QString name;
        QString type;
        QString domain;
        QString host;
        ushort port = 0;
        QList<QByteArray> txt;
    };

    struct Group {
        QString path;
        QString client; // the unique bus name of the connection that made it
        State state = uncommitted;
        QStringList services; // the names added since it was made or last reset
        int commits = 0;
        int resets = 0;
        bool freed = false;
    };

    // Throws std::runtime_error if the name or the object cannot be registered.
    explicit FakeAvahi(PrivateBus& bus);
    ~FakeAvahi() override;
    FakeAvahi(const FakeAvahi&) = delete;
    FakeAvahi& operator=(const FakeAvahi&) = delete;

    // Names other hosts hold: committing a group with a service of one of them ends in collision.
    void setTakenNames(const QStringList& names) { takenNames_ = names; }
    // While not empty, every commit ends in failure with this error text.
    void setCommitFailure(const QString& error) { commitFailure_ = error; }
    // Puts group (an index into groups()) in state now and tells its client, as Avahi does when
    // the network changes after the fact.
    void sendState(std::size_t group, State state, const QString& error = {});

    // Every group made, in order, freed ones included.
    const std::vector<Group>& groups() const { return groups_; }
    // Every AddService call accepted, in order.
    const std::vector<AddServiceCall>& addServiceCalls() const { return addServiceCalls_; }

    // QDBusVirtualObject: called by QtDBus for every call to a path of ours.
    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    void serveServer(const QDBusMessage& message);
    void serveGroup(Group& group, const QDBusMessage& message);
    void addService(Group& group, const QDBusMessage& message);
    void commit(Group& group, const QDBusMessage& message);
    void changeState(Group& group, State state, const QString& error = {});
    void refuse(const QDBusMessage& message, const QString& name, const QString& text);

    QDBusConnection connection_;
    QStringList takenNames_;
    QString commitFailure_;
    std::vector<Group> groups_;
    std::vector<AddServiceCall> addServiceCalls_;
};
