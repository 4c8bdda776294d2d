#include "FakeLogin.h"

#include "PrivateBus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace {
const QString service = QStringLiteral("org.freedesktop.login1");
const QString path = QStringLiteral("/org/freedesktop/login1");
const QString interface = QStringLiteral("org.freedesktop.login1.Manager");
} // namespace

FakeLogin::FakeLogin(PrivateBus& bus) : connection_(bus.connect(QStringLiteral("fake-login1"))) {
    if (!connection_.registerObject(path, this, QDBusConnection::ExportScriptableSlots)) {
        throw std::runtime_error("cannot register the fake login manager's object");
    }
    if (!connection_.registerService(service)) {
        connection_.unregisterObject(path);
        throw std::runtime_error("cannot own org.freedesktop.login1 on the private bus");
    }
}

FakeLogin::~FakeLogin() {
    for (const QDBusMessage& call : heldCalls_) {
        connection_.send(call.createErrorReply(QDBusError::Disconnected,
                                               QStringLiteral("the fake login manager ended")));
    }
    connection_.unregisterService(service);
    connection_.unregisterObject(path);
    for (int readEnd : readEnds_) {
        ::close(readEnd);
    }
}

void FakeLogin::emitPrepareForSleep(bool start) {
    QDBusMessage signal =
        QDBusMessage::createSignal(path, interface, QStringLiteral("PrepareForSleep"));
    signal << start;
    connection_.send(signal);
}

void FakeLogin::sendHeldReplies() {
    std::vector<QDBusMessage> calls;
    calls.swap(heldCalls_);
    for (const QDBusMessage& call : calls) {
        grantLock(call);
    }
}

std::size_t FakeLogin::heldLocks() const {
    std::size_t held = 0;
    for (std::size_t lock = 0; lock < readEnds_.size(); ++lock) {
        held += isReleased(lock) ? 0 : 1;
    }
    return held;
}

bool FakeLogin::isReleased(std::size_t lock) const {
    // Nobody writes to the pipe, so the read end reports only the hang-up of the last writer.
    pollfd end{readEnds_.at(lock), POLLIN, 0};
    return ::poll(&end, 1, 0) == 1 && (end.revents & POLLHUP) != 0;
}

QDBusUnixFileDescriptor FakeLogin::Inhibit(const QString& what, const QString& who,
                                           const QString& why, const QString& mode) {
    inhibitCalls_.push_back({what, who, why, mode});
    if (failInhibit_) {
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("the test refuses the lock"));
        return {};
    }
    setDelayedReply(true);
    if (holdReplies_) {
        heldCalls_.push_back(message());
    } else {
        grantLock(message());
    }
    return {};
}

void FakeLogin::grantLock(const QDBusMessage& call) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        connection_.send(call.createErrorReply(QDBusError::Failed,
                                               QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    readEnds_.push_back(ends[0]);
    {
        // The descriptor object and the reply hold copies of the write end; they go at the end
        // of this block, once the reply is on its way.
        const QDBusUnixFileDescriptor writeEnd(ends[1]);
        connection_.send(call.createReply(QVariant::fromValue(writeEnd)));
    }
    ::close(ends[1]);
}
