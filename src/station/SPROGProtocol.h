#pragma once

#include "StationProtocol.h"

#include <cstddef>
#include <string>

// A SPROG in command-station mode. Packets go as "O hh hh ...\r" (error byte included), power as
// "+\r" / "-\r", and the greeting asks for the version with "?\r". Every reply ends with a prompt,
// "P> " or "R> ", which is all that frames it. The SPROG repeats nothing by itself and wants a
// packet in flight at all times, so the program refreshes everything, four times in each queue.
//
// Threading and ownership as StationProtocol.
class SPROGProtocol final : public StationProtocol {
public:
    // Text held while waiting for a prompt; past this it is dropped.
    static constexpr std::size_t maxReplyLength = 1024;

    StationKind kind() const override { return StationKind::sprog; }

    Bytes encodePacket(std::span<const std::uint8_t> packet) override;
    Bytes encodePower(bool on) const override;
    Bytes greeting() const override;

    // For each reply completed by its prompt, in order: overload if it holds "!O", error if it
    // holds "!E", version for its first line naming the SPROG, then reply. Text that runs past
    // maxReplyLength without a prompt is dropped (its last two bytes are kept, in case they begin
    // the prompt); the first time, a lineTooLong event says so.
    std::vector<StationEvent> feed(std::span<const std::uint8_t> bytes) override;
    void clear() override { text_.clear(); }

    int repeats() const override { return 4; }
    bool repeatsInSecondQueue() const override { return true; }
    bool refreshesItself() const override { return false; }
    bool keepsLinkBusy() const override { return true; }

private:
    std::string text_;
    bool toldTooLong_ = false;
};
