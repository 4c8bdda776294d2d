#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// How the WiThrottle server presents itself and watches its phones. A plain value.
struct WiThrottleSettings {
    // The heartbeat period P, told to phones as "*<P>": after "*+", silence of more than P stops
    // the connection's locomotives, silence of 3 P drops the connection. Zero turns monitoring
    // off (phones then send no keepalives either).
    std::chrono::seconds heartbeat{10};
    // Connections beyond this many are told why and closed at once.
    std::size_t maxConnections = 32;
    // Sent as "HT<serverType>" and "Ht<description>" in the greeting.
    std::string serverType = "DCC Cab";
    std::string description;

    bool operator==(const WiThrottleSettings&) const = default;
};
