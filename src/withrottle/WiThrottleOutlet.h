#pragma once

#include <cstdint>
#include <string>

// Where the WiThrottle server's lines go: the TCP adapter, or a recorder in tests. The server
// calls it on the main thread, synchronously, from inside its own calls (connect, receive,
// disconnect, tick, takeAway, and the cab's announcements). An implementation must not call back
// into the server from send or close: a socket error found there is reported later, through
// WiThrottleServer::disconnect from the event loop.
class WiThrottleOutlet {
public:
    // Chosen by the adapter, unique among the connections open at the same time.
    using ConnectionId = std::uint64_t;

    // One line for connection, without terminator (the adapter adds "\n"). Never contains a line
    // feed or carriage return.
    virtual void send(ConnectionId connection, const std::string& line) = 0;
    // The server is done with connection: close the socket once the lines sent so far are
    // written. The server has already forgotten it; a disconnect that follows does nothing.
    virtual void close(ConnectionId connection) = 0;

protected:
    WiThrottleOutlet() = default;
    WiThrottleOutlet(const WiThrottleOutlet&) = default;
    WiThrottleOutlet& operator=(const WiThrottleOutlet&) = default;
    virtual ~WiThrottleOutlet() = default;
};
