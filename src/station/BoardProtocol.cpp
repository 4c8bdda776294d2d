#include "BoardProtocol.h"

#include "StationText.h"

Bytes BoardProtocol::encodePacket(std::span<const std::uint8_t> packet) {
    if (packet.empty()) {
        return {};
    }
    Bytes frame;
    frame.reserve(packet.size() + 1);
    frame.push_back(static_cast<std::uint8_t>(packet.size()));
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
}

std::vector<StationEvent> BoardProtocol::feed(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || !isValidUtf8(bytes)) {
        return {};
    }
    StationEvent reply;
    reply.kind = StationEvent::Kind::reply;
    return {reply};
}
