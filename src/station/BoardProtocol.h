#pragma once

#include "StationProtocol.h"

// The command-station board: each packet goes as one frame, a length byte (the packet's bytes,
// error byte included) and then the packet. The board answers with text nobody parses; any
// delivery that is valid UTF-8 releases the next frame. Power cannot be switched and nothing is
// written on opening. The program refreshes every locomotive, each packet four times in each of
// the dispatcher's two queues.
//
// Threading and ownership as StationProtocol. Keeps no state.
class BoardProtocol final : public StationProtocol {
public:
    StationKind kind() const override { return StationKind::board; }

    // [N, packet...] with N = packet.size(); empty for an empty packet.
    Bytes encodePacket(std::span<const std::uint8_t> packet) override;
    Bytes encodePower(bool) const override { return {}; }
    Bytes greeting() const override { return {}; }

    // One reply event (empty text) for a non-empty delivery that is valid UTF-8 as a whole, none
    // otherwise: a character split between two deliveries makes neither count.
    std::vector<StationEvent> feed(std::span<const std::uint8_t> bytes) override;
    void clear() override {}

    int repeats() const override { return 4; }
    bool repeatsInSecondQueue() const override { return true; }
    bool refreshesItself() const override { return false; }
    bool keepsLinkBusy() const override { return false; }
};
