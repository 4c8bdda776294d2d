#include "WiThrottleTcpServer.h"

#include "ValidUtf8.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <string_view>

namespace {

// Lines handed to the server from one socket in one event-loop turn.
constexpr int linesPerTurn = 64;
// Bytes read from a socket at a time; a turn reads at most this many.
constexpr qint64 chunkSize = 4096;
// What the socket buffers ahead of the batches: beyond it, TCP makes a flooding phone wait.
constexpr qint64 readBufferSize = 64 * 1024;
// How long a closed connection may take to write out its last lines before it is cut.
constexpr int closeGraceMilliseconds = 5000;
constexpr auto heartbeatInterval = std::chrono::milliseconds(250);

std::string describeListenFailure(std::uint16_t port, const QTcpServer& listener) {
    const std::string number = std::to_string(port);
    switch (listener.serverError()) {
    case QAbstractSocket::AddressInUseError:
        return "port " + number + " is in use; choose another";
    case QAbstractSocket::SocketAccessError:
        return "port " + number + " needs privileges this program has not; choose one above 1023";
    default:
        return "cannot listen on port " + number + ": " + listener.errorString().toStdString();
    }
}

} // namespace

struct WiThrottleTcpServer::Peer {
    ConnectionId id = 0;
    QTcpSocket* socket = nullptr; // a child of the adapter
    // Bytes read from the socket and not yet looked at, from inboxStart on.
    std::string inbox;
    std::size_t inboxStart = 0;
    // The line being gathered, and whether the line being read is too long and is being skipped.
    std::string line;
    bool skipping = false;
    bool readScheduled = false;
    // The server closed it: nothing more is read, and it goes once its lines are written.
    bool closing = false;
};

WiThrottleTcpServer::WiThrottleTcpServer(DCCController& cab, WiThrottleSettings settings,
                                         QObject* parent)
    : QObject(parent), server_(cab, *this, std::move(settings)) {
    heartbeat_.setInterval(heartbeatInterval);
    QObject::connect(&heartbeat_, &QTimer::timeout, this,
                     [this] { server_.tick(WiThrottleServer::Clock::now()); });
}

WiThrottleTcpServer::~WiThrottleTcpServer() {
    stop();
}

bool WiThrottleTcpServer::start(std::uint16_t port, std::string* why) {
    stop();
    auto listener = std::make_unique<QTcpServer>();
    if (!listener->listen(QHostAddress::Any, port)) {
        if (why != nullptr) {
            *why = describeListenFailure(port, *listener);
        }
        return false;
    }
    QObject::connect(listener.get(), &QTcpServer::newConnection, this, [this] { accept(); });
    listener_ = std::move(listener);
    return true;
}

void WiThrottleTcpServer::stop() {
    heartbeat_.stop();
    listener_.reset();
    const auto now = WiThrottleServer::Clock::now();
    // Taken out first: the server's disconnect may send to other connections, never to these.
    auto peers = std::move(peers_);
    peers_.clear();
    for (auto& [id, peer] : peers) {
        QObject::disconnect(peer->socket, nullptr, this, nullptr);
        peer->socket->abort();
        peer->socket->deleteLater();
        server_.disconnect(id, now);
    }
}

bool WiThrottleTcpServer::isListening() const {
    return listener_ && listener_->isListening();
}

std::uint16_t WiThrottleTcpServer::port() const {
    return isListening() ? listener_->serverPort() : 0;
}

void WiThrottleTcpServer::accept() {
    while (listener_ && listener_->hasPendingConnections()) {
        QTcpSocket* socket = listener_->nextPendingConnection();
        socket->setParent(this);
        socket->setReadBufferSize(readBufferSize);
        const ConnectionId id = nextConnection_++;
        auto peer = std::make_unique<Peer>();
        peer->id = id;
        peer->socket = socket;
        peers_.emplace(id, std::move(peer));
        if (!heartbeat_.isActive()) {
            heartbeat_.start(); // ticks only while a phone is connected: an idle server sleeps
        }
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, id] { readBatch(id); });
        // Queued: a socket can fail while the server is writing to it, and must not call back
        // into the server then.
        QObject::connect(
            socket, &QTcpSocket::disconnected, this, [this, id] { drop(id); },
            Qt::QueuedConnection);
        QObject::connect(
            socket, &QTcpSocket::errorOccurred, this, [this, id] { drop(id); },
            Qt::QueuedConnection);
        const QString peerName =
            socket->peerAddress().toString() + ":" + QString::number(socket->peerPort());
        server_.connect(id, peerName.toStdString(), WiThrottleServer::Clock::now());
        // Whatever came with the connection is read now: readyRead may have been and gone.
        if (socket->bytesAvailable() > 0) {
            scheduleRead(*peers_.at(id));
        }
    }
}

void WiThrottleTcpServer::scheduleRead(Peer& peer) {
    if (peer.readScheduled) {
        return;
    }
    peer.readScheduled = true;
    QMetaObject::invokeMethod(
        this, [this, id = peer.id] { readBatch(id); }, Qt::QueuedConnection);
}

void WiThrottleTcpServer::readBatch(ConnectionId connection) {
    const auto found = peers_.find(connection);
    if (found == peers_.end()) {
        return;
    }
    Peer& peer = *found->second;
    peer.readScheduled = false;
    int delivered = 0;
    bool readThisTurn = false;
    while (!peer.closing && delivered < linesPerTurn) {
        if (peer.inboxStart == peer.inbox.size()) {
            if (readThisTurn) {
                break;
            }
            peer.inbox.resize(static_cast<std::size_t>(chunkSize));
            const qint64 count = peer.socket->read(peer.inbox.data(), chunkSize);
            peer.inbox.resize(static_cast<std::size_t>(std::max<qint64>(count, 0)));
            peer.inboxStart = 0;
            readThisTurn = true;
            if (count <= 0) {
                break;
            }
        }
        const char byte = peer.inbox[peer.inboxStart++];
        if (byte == '\n' || byte == '\r') {
            const bool skipped = peer.skipping;
            peer.skipping = false;
            if (skipped || peer.line.empty()) {
                continue;
            }
            const std::string line = std::move(peer.line);
            peer.line.clear();
            if (isValidUtf8(line)) {
                ++delivered;
                // Nothing here can remove the peer: drops come from the event loop.
                server_.receive(connection, line, WiThrottleServer::Clock::now());
            }
            continue;
        }
        if (peer.skipping) {
            continue;
        }
        if (peer.line.size() == maxLineLength) {
            peer.line.clear();
            peer.skipping = true;
            write(peer,
                  "HMLine too long (over " + std::to_string(maxLineLength) + " bytes); ignored");
            continue;
        }
        peer.line.push_back(byte);
    }
    if (!peer.closing &&
        (peer.inboxStart < peer.inbox.size() || peer.socket->bytesAvailable() > 0)) {
        scheduleRead(peer);
    }
}

void WiThrottleTcpServer::drop(ConnectionId connection) {
    const auto found = peers_.find(connection);
    if (found == peers_.end()) {
        return;
    }
    std::unique_ptr<Peer> peer = std::move(found->second);
    peers_.erase(found);
    if (peers_.empty()) {
        heartbeat_.stop();
    }
    QObject::disconnect(peer->socket, nullptr, this, nullptr);
    peer->socket->deleteLater();
    server_.disconnect(connection, WiThrottleServer::Clock::now());
}

void WiThrottleTcpServer::write(Peer& peer, const std::string& line) {
    if (peer.socket->state() != QAbstractSocket::ConnectedState) {
        return; // gone: the drop is on its way
    }
    std::string framed = line;
    framed.push_back('\n');
    peer.socket->write(framed.data(), static_cast<qint64>(framed.size()));
}

void WiThrottleTcpServer::send(ConnectionId connection, const std::string& line) {
    if (const auto found = peers_.find(connection); found != peers_.end()) {
        write(*found->second, line);
    }
}

void WiThrottleTcpServer::close(ConnectionId connection) {
    const auto found = peers_.find(connection);
    if (found == peers_.end() || found->second->closing) {
        return;
    }
    Peer& peer = *found->second;
    peer.closing = true;
    QTcpSocket* socket = peer.socket;
    // Later, from the event loop: the server is in the middle of its own call.
    QMetaObject::invokeMethod(
        socket,
        [socket] {
            socket->disconnectFromHost();
            // A phone that reads nothing must not keep the socket forever.
            QTimer::singleShot(closeGraceMilliseconds, socket, [socket] { socket->abort(); });
        },
        Qt::QueuedConnection);
}
