#include "AvahiServiceAnnouncer.h"

#include "FakeAvahi.h"
#include "PrivateBus.h"
#include "ServiceAnnouncerDelegate.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QtCore/qtestsupport_core.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::IsEmpty;
using State = ServiceAnnouncer::State;

namespace {

const std::string notRunning = "no responder: Avahi is not running: phones will not find the "
                               "server by itself; they can connect by address and port";

// Serves events until condition holds; false if it never does within a limit only a hang reaches.
bool waitFor(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 20000);
}

// Keeps every report as one line: "announced: <name>", "renamed: <taken> -> <new>",
// "failed: <reason>", "no responder: <reason>".
class RecordingAnnouncerDelegate : public ServiceAnnouncerDelegate {
public:
    void serviceAnnouncerDidAnnounce(ServiceAnnouncer&, const std::string& name) override {
        events.push_back("announced: " + name);
    }
    void serviceAnnouncerDidRename(ServiceAnnouncer&, const std::string& takenName,
                                   const std::string& newName) override {
        events.push_back("renamed: " + takenName + " -> " + newName);
    }
    void serviceAnnouncerDidFail(ServiceAnnouncer&, const std::string& reason) override {
        events.push_back("failed: " + reason);
    }
    void serviceAnnouncerFoundNoResponder(ServiceAnnouncer&, const std::string& reason) override {
        events.push_back("no responder: " + reason);
    }

    std::vector<std::string> events;
};

// What a row does once the announcement is under way.
enum class Then {
    nothing,
    withdrawAtOnce, // before Avahi has answered anything
    withdrawWhenAnnounced,
    destroyWhenAnnounced, // the announcer, not Avahi
    collideWhenAnnounced, // another host takes the name later
    startAvahiAfterNoResponder,
    restartAvahiWhenAnnounced,
};

struct Case {
    const char* what;
    bool avahiRunning = true;
    bool busConnected = true;
    std::string name = "Layout";
    QStringList takenNames{};
    QString commitFailure{};
    Then then = Then::nothing;
    // Each report, in order, contains the string at its place.
    std::vector<std::string> events{};
    State state = State::withdrawn;
    std::string finalName{};
    // The names given to AddService, and whether each group was freed, in the latest Avahi.
    std::vector<QString> added{};
    std::vector<bool> freed{};
};

class AvahiServiceAnnouncerTest : public testing::Test {
protected:
    std::vector<bool> freedGroups() const {
        std::vector<bool> freed;
        if (avahi) {
            for (const FakeAvahi::Group& group : avahi->groups()) {
                freed.push_back(group.freed);
            }
        }
        return freed;
    }

    // Returns once Avahi has answered one more call from connection, and so has sent everything
    // it was to send before.
    void roundTrip(const QDBusConnection& connection) {
        QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Avahi", "/",
                                                           "org.freedesktop.Avahi.Server",
                                                           "GetAlternativeServiceName");
        call << QStringLiteral("probe");
        QDBusPendingCallWatcher watcher(connection.asyncCall(call));
        bool answered = false;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, [&] { answered = true; });
        ASSERT_TRUE(waitFor([&] { return answered; }));
    }

    PrivateBus bus;
    std::optional<FakeAvahi> avahi;
};

TEST_F(AvahiServiceAnnouncerTest, ReportsEachOutcomeAndFreesEveryGroupItLetsGo) {
    const std::string tooLong(64, 'x');
    const std::vector<Case> cases = {
        {.what = "established",
         .events = {"announced: Layout"},
         .state = State::announced,
         .finalName = "Layout",
         .added = {"Layout"},
         .freed = {false}},
        {.what = "name taken: renamed and announced",
         .takenNames = {"Layout"},
         .events = {"renamed: Layout -> Layout #2", "announced: Layout #2"},
         .state = State::announced,
         .finalName = "Layout #2",
         .added = {"Layout", "Layout #2"},
         .freed = {false}},
        {.what = "two names taken",
         .takenNames = {"Layout", "Layout #2"},
         .events = {"renamed: Layout -> Layout #2", "renamed: Layout #2 -> Layout #3",
                    "announced: Layout #3"},
         .state = State::announced,
         .finalName = "Layout #3",
         .added = {"Layout", "Layout #2", "Layout #3"},
         .freed = {false}},
        {.what = "taken later by another host",
         .then = Then::collideWhenAnnounced,
         .events = {"announced: Layout", "renamed: Layout -> Layout #2", "announced: Layout #2"},
         .state = State::announced,
         .finalName = "Layout #2",
         .added = {"Layout", "Layout #2"},
         .freed = {false}},
        {.what = "Avahi fails",
         .commitFailure = "Not permitted",
         .events = {"failed: Avahi could not announce the service: Not permitted"},
         .state = State::failed,
         .finalName = "Layout",
         .added = {"Layout"},
         .freed = {true}},
        {.what = "Avahi refuses the name",
         .name = tooLong,
         .events = {"failed: Avahi refused the service \"" + tooLong + "\": Invalid service name"},
         .state = State::failed,
         .finalName = tooLong,
         .added = {},
         .freed = {true}},
        {.what = "no Avahi",
         .avahiRunning = false,
         .events = {notRunning},
         .state = State::noResponder,
         .finalName = "Layout"},
        {.what = "no system bus",
         .busConnected = false,
         .events = {"no responder: Not connected to the system bus"},
         .state = State::noResponder,
         .finalName = "Layout"},
        {.what = "Avahi starts later",
         .avahiRunning = false,
         .then = Then::startAvahiAfterNoResponder,
         .events = {notRunning, "announced: Layout"},
         .state = State::announced,
         .finalName = "Layout",
         .added = {"Layout"},
         .freed = {false}},
        {.what = "Avahi restarts",
         .then = Then::restartAvahiWhenAnnounced,
         .events = {"announced: Layout", notRunning, "announced: Layout"},
         .state = State::announced,
         .finalName = "Layout",
         .added = {"Layout"},
         .freed = {false}},
        {.what = "withdrawn",
         .then = Then::withdrawWhenAnnounced,
         .events = {"announced: Layout"},
         .state = State::withdrawn,
         .finalName = "",
         .added = {"Layout"},
         .freed = {true}},
        {.what = "withdrawn before Avahi answers",
         .then = Then::withdrawAtOnce,
         .events = {},
         .state = State::withdrawn,
         .finalName = "",
         .added = {},
         .freed = {true}},
        {.what = "announcer destroyed",
         .then = Then::destroyWhenAnnounced,
         .events = {"announced: Layout"},
         .state = State::withdrawn,
         .added = {"Layout"},
         .freed = {true}},
    };
    const QString notConnected = QStringLiteral("not-connected");

    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        const auto startAvahi = [&] {
            avahi.emplace(bus);
            avahi->setTakenNames(row.takenNames);
            avahi->setCommitFailure(row.commitFailure);
        };
        avahi.reset();
        if (row.avahiRunning) {
            startAvahi();
        }
        const QDBusConnection client =
            row.busConnected ? bus.connect("client")
                             : QDBusConnection::connectToBus(
                                   QStringLiteral("unix:path=/nonexistent"), notConnected);
        RecordingAnnouncerDelegate delegate;
        std::optional<AvahiServiceAnnouncer> announcer(std::in_place, client);
        announcer->setDelegate(&delegate);
        const auto reported = [&](std::size_t count) {
            return waitFor([&] { return delegate.events.size() >= count; });
        };

        announcer->announce(row.name, "_withrottle._tcp", 12090, {"node=1", "ver=2.0"});
        EXPECT_EQ(announcer->state(), State::registering);
        EXPECT_THAT(delegate.events, IsEmpty()) << "reported before Avahi answered";
        switch (row.then) {
        case Then::nothing:
            break;
        case Then::withdrawAtOnce:
            announcer->withdraw();
            break;
        case Then::withdrawWhenAnnounced:
            ASSERT_TRUE(reported(1));
            announcer->withdraw();
            break;
        case Then::destroyWhenAnnounced:
            ASSERT_TRUE(reported(1));
            announcer.reset();
            break;
        case Then::collideWhenAnnounced:
            ASSERT_TRUE(reported(1));
            avahi->sendState(0, FakeAvahi::collision, "Remote name conflict");
            break;
        case Then::startAvahiAfterNoResponder:
            ASSERT_TRUE(reported(1));
            startAvahi();
            break;
        case Then::restartAvahiWhenAnnounced:
            ASSERT_TRUE(reported(1));
            avahi.reset();
            ASSERT_TRUE(reported(2));
            startAvahi();
            break;
        }
        ASSERT_TRUE(waitFor([&] {
            return delegate.events.size() >= row.events.size() && freedGroups() == row.freed;
        }));
        if (avahi && client.isConnected()) {
            roundTrip(client); // so that a report too many would have arrived
        }

        ASSERT_EQ(delegate.events.size(), row.events.size())
            << testing::PrintToString(delegate.events);
        for (std::size_t i = 0; i < row.events.size(); ++i) {
            EXPECT_THAT(delegate.events[i], HasSubstr(row.events[i]));
        }
        if (announcer) {
            EXPECT_EQ(announcer->state(), row.state);
            EXPECT_EQ(announcer->name(), row.finalName);
        }
        const std::vector<FakeAvahi::AddServiceCall> calls =
            avahi ? avahi->addServiceCalls() : std::vector<FakeAvahi::AddServiceCall>{};
        std::vector<QString> added;
        for (const FakeAvahi::AddServiceCall& call : calls) {
            added.push_back(call.name);
            EXPECT_EQ(call.interface, -1);
            EXPECT_EQ(call.protocol, -1);
            EXPECT_EQ(call.flags, 0u);
            EXPECT_EQ(call.type, "_withrottle._tcp");
            EXPECT_EQ(call.domain, "");
            EXPECT_EQ(call.host, "");
            EXPECT_EQ(call.port, 12090);
            EXPECT_EQ(call.txt, QList<QByteArray>({"node=1", "ver=2.0"}));
        }
        EXPECT_THAT(added, ElementsAreArray(row.added));
        if (avahi && !avahi->groups().empty() && row.added.size() > 1) {
            EXPECT_EQ(avahi->groups()[0].resets, static_cast<int>(row.added.size()) - 1)
                << "each new name goes into the same group, emptied first";
        }
    }
    avahi.reset();
    QDBusConnection::disconnectFromBus(notConnected);
}

} // namespace
