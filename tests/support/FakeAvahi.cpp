#include "FakeAvahi.h"

#include "PrivateBus.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QRegularExpression>
#include <algorithm>
#include <stdexcept>

namespace {
const QString service = QStringLiteral("org.freedesktop.Avahi");
const QString serverPath = QStringLiteral("/");
const QString serverInterface = QStringLiteral("org.freedesktop.Avahi.Server");
const QString groupInterface = QStringLiteral("org.freedesktop.Avahi.EntryGroup");

// The longest DNS label, which a service name is.
constexpr int longestName = 63;

QString alternativeName(const QString& name) {
    static const QRegularExpression numbered(QStringLiteral("^(.*) #(\\d+)$"));
    const QRegularExpressionMatch match = numbered.match(name);
    if (match.hasMatch()) {
        return match.captured(1) + QStringLiteral(" #") +
               QString::number(match.captured(2).toInt() + 1);
    }
    return name + QStringLiteral(" #2");
}
} // namespace

FakeAvahi::FakeAvahi(PrivateBus& bus) : connection_(bus.connect(QStringLiteral("fake-avahi"))) {
    qDBusRegisterMetaType<QList<QByteArray>>();
    if (!connection_.registerVirtualObject(serverPath, this, QDBusConnection::SubPath)) {
        throw std::runtime_error("cannot register the fake Avahi's objects");
    }
    if (!connection_.registerService(service)) {
        connection_.unregisterObject(serverPath, QDBusConnection::UnregisterTree);
        throw std::runtime_error("cannot own org.freedesktop.Avahi on the private bus");
    }
}

FakeAvahi::~FakeAvahi() {
    connection_.unregisterService(service);
    connection_.unregisterObject(serverPath, QDBusConnection::UnregisterTree);
}

void FakeAvahi::sendState(std::size_t group, State state, const QString& error) {
    changeState(groups_.at(group), state, error);
}

QString FakeAvahi::introspect(const QString&) const {
    return {}; // nothing calls Introspect in the tests
}

bool FakeAvahi::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    if (message.type() != QDBusMessage::MethodCallMessage) {
        return false;
    }
    if (message.path() == serverPath && message.interface() == serverInterface) {
        serveServer(message);
        return true;
    }
    const auto group = std::find_if(groups_.begin(), groups_.end(), [&](const Group& made) {
        return made.path == message.path() && !made.freed;
    });
    if (group == groups_.end() || message.interface() != groupInterface) {
        refuse(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
               QStringLiteral("no such object or interface"));
        return true;
    }
    if (message.service() != group->client) {
        refuse(message, QStringLiteral("org.freedesktop.Avahi.AccessDeniedError"),
               QStringLiteral("Access denied"));
        return true;
    }
    serveGroup(*group, message);
    return true;
}

void FakeAvahi::serveServer(const QDBusMessage& message) {
    if (message.member() == QStringLiteral("EntryGroupNew")) {
        Group group;
        group.path = QStringLiteral("/Client1/EntryGroup%1").arg(groups_.size() + 1);
        group.client = message.service();
        groups_.push_back(group);
        connection_.send(message.createReply(QVariant::fromValue(QDBusObjectPath(group.path))));
    } else if (message.member() == QStringLiteral("GetAlternativeServiceName") &&
               message.arguments().size() == 1) {
        connection_.send(
            message.createReply(alternativeName(message.arguments().at(0).toString())));
    } else {
        refuse(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
               message.member());
    }
}

void FakeAvahi::serveGroup(Group& group, const QDBusMessage& message) {
    const QString& method = message.member();
    if (method == QStringLiteral("AddService")) {
        addService(group, message);
    } else if (method == QStringLiteral("Commit")) {
        commit(group, message);
    } else if (method == QStringLiteral("Reset")) {
        ++group.resets;
        group.services.clear();
        connection_.send(message.createReply());
        changeState(group, uncommitted);
    } else if (method == QStringLiteral("Free")) {
        group.freed = true;
        connection_.send(message.createReply());
    } else if (method == QStringLiteral("GetState")) {
        connection_.send(message.createReply(static_cast<int>(group.state)));
    } else {
        refuse(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), method);
    }
}

void FakeAvahi::addService(Group& group, const QDBusMessage& message) {
    if (message.signature() != QStringLiteral("iiussssqaay")) {
        refuse(message, QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
               QStringLiteral("signature ") + message.signature());
        return;
    }
    const QVariantList arguments = message.arguments();
    AddServiceCall call;
    call.group = group.path;
    call.interface = arguments.at(0).toInt();
    call.protocol = arguments.at(1).toInt();
    call.flags = arguments.at(2).toUInt();
    call.name = arguments.at(3).toString();
    call.type = arguments.at(4).toString();
    call.domain = arguments.at(5).toString();
    call.host = arguments.at(6).toString();
    call.port = static_cast<ushort>(arguments.at(7).toUInt());
    call.txt = qdbus_cast<QList<QByteArray>>(arguments.at(8));
    if (call.name.isEmpty() || call.name.toUtf8().size() > longestName) {
        refuse(message, QStringLiteral("org.freedesktop.Avahi.InvalidServiceNameError"),
               QStringLiteral("Invalid service name"));
        return;
    }
    if (group.state != uncommitted && group.state != collision) {
        refuse(message, QStringLiteral("org.freedesktop.Avahi.BadStateError"),
               QStringLiteral("Bad state"));
        return;
    }
    group.services.append(call.name);
    addServiceCalls_.push_back(call);
    connection_.send(message.createReply());
}

void FakeAvahi::commit(Group& group, const QDBusMessage& message) {
    if (group.services.isEmpty()) {
        refuse(message, QStringLiteral("org.freedesktop.Avahi.IsEmptyError"),
               QStringLiteral("Is empty"));
        return;
    }
    ++group.commits;
    connection_.send(message.createReply());
    changeState(group, registering);
    const bool taken = std::any_of(group.services.begin(), group.services.end(),
                                   [&](const QString& name) { return takenNames_.contains(name); });
    if (!commitFailure_.isEmpty()) {
        changeState(group, failure, commitFailure_);
    } else if (taken) {
        changeState(group, collision, QStringLiteral("Local name collision"));
    } else {
        changeState(group, established);
    }
}

void FakeAvahi::changeState(Group& group, State state, const QString& error) {
    if (group.state == state) {
        return;
    }
    group.state = state;
    QDBusMessage changed = QDBusMessage::createTargetedSignal(
        group.client, group.path, groupInterface, QStringLiteral("StateChanged"));
    changed << static_cast<int>(state) << error;
    connection_.send(changed);
}

void FakeAvahi::refuse(const QDBusMessage& message, const QString& name, const QString& text) {
    connection_.send(message.createErrorReply(name, text));
}
