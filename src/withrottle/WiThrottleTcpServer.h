#pragma once

#include "WiThrottleOutlet.h"
#include "WiThrottleServer.h"
#include "WiThrottleSettings.h"

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class DCCController;
class QTcpServer;
class QTcpSocket;

// The WiThrottle server on TCP: listens on a port of every interface, gives each phone that
// connects a ConnectionId and hands its lines to the WiThrottleServer it owns, whose lines it
// writes back, each followed by "\n". The heartbeat is ticked every 250 ms while a phone is
// connected.
//
// Framing of what phones send: a line ends at "\n" or "\r" (so CR LF too); blank lines are
// skipped. A line longer than maxLineLength bytes is dropped up to its end, and the phone gets one
// "HM" alert for it. A line that is not valid UTF-8 is ignored. A socket that floods lines is read
// in bounded batches, one batch per event-loop turn, so that other phones and new connections
// keep being served.
//
// Everything that reaches the WiThrottleServer (connect, receive, disconnect, tick) comes from the
// event loop, never from inside the server's own calls: a close the server asks for, and a socket
// error found while writing, are acted on at a later turn.
//
// Threading: main thread only, with a running Qt event loop. Ownership: the cab is not owned and
// must outlive this object; the sockets, the listening socket and the timer are owned and go with
// it (destruction stops first).
class WiThrottleTcpServer : public QObject, private WiThrottleOutlet {
public:
    // The port phones expect a WiThrottle server on.
    static constexpr std::uint16_t defaultPort = 12090;
    // The longest line taken, in bytes, without its terminator.
    static constexpr std::size_t maxLineLength = 4096;

    explicit WiThrottleTcpServer(DCCController& cab,
                                 WiThrottleSettings settings = WiThrottleSettings(),
                                 QObject* parent = nullptr);
    ~WiThrottleTcpServer() override;

    WiThrottleTcpServer(const WiThrottleTcpServer&) = delete;
    WiThrottleTcpServer& operator=(const WiThrottleTcpServer&) = delete;

    // Listens on port (0: any free port; see port()) and starts the heartbeat. False when it
    // cannot, with why in words a user can act on ("port 12090 is in use; choose another") when
    // why is given. Stops a previous listening first.
    bool start(std::uint16_t port, std::string* why = nullptr);
    // Stops listening and the heartbeat and closes every connection at once; each open one is
    // reported to the server as a disconnect (its locomotives held by nobody else stop).
    void stop();
    bool isListening() const;
    // The port listened on; 0 when not listening.
    std::uint16_t port() const;

    // The sessions, for settings and for the connections' list. Lives as long as this object.
    WiThrottleServer& server() { return server_; }
    const WiThrottleServer& server() const { return server_; }

private:
    struct Peer;

    void send(ConnectionId connection, const std::string& line) override;
    void close(ConnectionId connection) override;

    void accept();
    // Reads and delivers one batch of lines from connection; schedules the next if more wait.
    void readBatch(ConnectionId connection);
    void scheduleRead(Peer& peer);
    // The socket of connection is gone (closed by either end, or failed).
    void drop(ConnectionId connection);
    void write(Peer& peer, const std::string& line);

    WiThrottleServer server_;
    std::unique_ptr<QTcpServer> listener_;
    QTimer heartbeat_;
    std::map<ConnectionId, std::unique_ptr<Peer>> peers_;
    ConnectionId nextConnection_ = 1;
};
