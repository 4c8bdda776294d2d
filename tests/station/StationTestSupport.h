#pragma once

#include "Bytes.h"
#include "StationEvent.h"
#include "StationProtocol.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the station codec tests share: bytes from text and back, packets with their error byte,
// and events as one-line descriptions that a table can hold.

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::string textOf(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// body followed by the XOR of its bytes.
inline Bytes withErrorByte(std::vector<std::uint8_t> body) {
    std::uint8_t check = 0;
    for (const std::uint8_t byte : body) {
        check ^= byte;
    }
    body.push_back(check);
    return body;
}

// The kind and what matters of it: "power on <p1>", "locomotive 3 178 5", "notice <H 1 0>".
// Events that must say something in words show only whether they do.
inline std::string describe(const StationEvent& e) {
    using Kind = StationEvent::Kind;
    const std::string words = e.text.empty() ? " without words" : "";
    switch (e.kind) {
    case Kind::reply:
        return "reply" + e.text;
    case Kind::power:
        return std::string("power ") + (e.power == TrackPower::on ? "on " : "off ") + e.text;
    case Kind::locomotive:
        return "locomotive " + std::to_string(e.address) + " " + std::to_string(e.speedByte) + " " +
               std::to_string(e.functions);
    case Kind::version:
        return "version " + e.text;
    case Kind::refused:
        return "refused" + words;
    case Kind::overload:
        return std::string("overload") + (e.power == TrackPower::off ? " off" : "") + words;
    case Kind::error:
        return "error" + words;
    case Kind::stationReset:
        return "stationReset " + e.text;
    case Kind::notice:
        return "notice " + e.text;
    case Kind::unknown:
        return "unknown " + e.text;
    case Kind::lineTooLong:
        return "lineTooLong" + words;
    }
    return "?";
}

// Feeds each piece in turn and describes every event that comes out.
inline std::vector<std::string> feedPieces(StationProtocol& protocol,
                                           const std::vector<std::string>& pieces) {
    std::vector<std::string> described;
    for (const std::string& piece : pieces) {
        for (const StationEvent& e : protocol.feed(bytesOf(piece))) {
            described.push_back(describe(e));
        }
    }
    return described;
}
