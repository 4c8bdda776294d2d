// The simulated board's reading of the program's byte stream: the frame parser, fed the stream in
// one piece and in pieces cut where the fuzzer says, and the packet decoder on every frame it
// yields and on the raw input. Input: the stream, then from its end (FuzzedDataProvider's integers)
// the decoder's baseline mode and the cuts.
#include "DCCPacketDecoder.h"
#include "FrameParser.h"
#include "FuzzCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <span>
#include <vector>

namespace {

using Event = FrameParser::Event;

void checkDecoded(const DecodedPacket& packet) {
    FUZZ_CHECK(!packet.text.empty());
    FUZZ_CHECK(packet.speed.has_value() == (packet.kind == DecodedPacket::Kind::Speed));
    if (packet.speed) {
        FUZZ_CHECK(packet.speed->step >= 0 && packet.speed->step <= topStep(packet.speed->mode));
        FUZZ_CHECK(!packet.speed->emergency || packet.speed->step == 0);
    }
    if (packet.functionMask != 0) {
        FUZZ_CHECK(packet.kind == DecodedPacket::Kind::Functions ||
                   packet.kind == DecodedPacket::Kind::Speed);
    }
    FUZZ_CHECK(packet.functionMask < 1u << 29);
    FUZZ_CHECK((packet.functionsOn & ~packet.functionMask) == 0);
    if (packet.address) {
        FUZZ_CHECK(!packet.broadcast);
        FUZZ_CHECK(packet.address->number >= 1);
        FUZZ_CHECK(packet.address->number <= (packet.address->isLong ? 10239 : 127));
    }
}

std::uint8_t exclusiveOr(std::span<const std::uint8_t> bytes) {
    std::uint8_t check = 0;
    for (std::uint8_t byte : bytes) {
        check ^= byte;
    }
    return check;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const DCCPacketDecoder decoder(input.ConsumeBool() ? SpeedMode::Steps14 : SpeedMode::Steps28);
    std::vector<std::size_t> pieces(input.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (std::size_t& piece : pieces) {
        piece = input.ConsumeIntegralInRange<std::size_t>(0, 12);
    }
    const std::vector<std::uint8_t> stream = input.ConsumeRemainingBytes<std::uint8_t>();

    FrameParser whole;
    std::vector<Event> events;
    whole.feed(stream, events);

    FrameParser cut;
    std::vector<Event> cutEvents;
    std::span<const std::uint8_t> rest(stream);
    for (std::size_t piece : pieces) {
        piece = std::min(piece, rest.size());
        cut.feed(rest.first(piece), cutEvents);
        rest = rest.subspan(piece);
    }
    cut.feed(rest, cutEvents);
    FUZZ_CHECK(cutEvents == events);
    FUZZ_CHECK(cut.inFrame() == whole.inFrame());
    FUZZ_CHECK(cut.discardedBytes() == whole.discardedBytes());

    // Every byte is in a frame, discarded as noise, or held as the unfinished frame.
    std::size_t accounted = whole.discardedBytes();
    std::uint64_t frames = 0, badErrorBytes = 0, badLengths = 0;
    for (const Event& event : events) {
        FUZZ_CHECK(!event.bytes.empty());
        const std::uint8_t length = event.bytes[0];
        const bool lengthFits =
            length >= FrameParser::shortestPacket && length <= FrameParser::longestPacket;
        switch (event.kind) {
        case Event::Kind::Frame:
        case Event::Kind::BadErrorByte: {
            FUZZ_CHECK(lengthFits && event.bytes.size() == std::size_t{length} + 1);
            const auto packet = std::span(event.bytes).subspan(1);
            const bool checks = exclusiveOr(packet) == 0;
            FUZZ_CHECK(checks == (event.kind == Event::Kind::Frame));
            ++(checks ? frames : badErrorBytes);
            accounted += event.bytes.size();
            const DecodedPacket decoded = decoder.decode(packet);
            checkDecoded(decoded);
            FUZZ_CHECK(checks || decoded.kind == DecodedPacket::Kind::Malformed);
            break;
        }
        case Event::Kind::BadLength:
            FUZZ_CHECK(event.bytes.size() == 1 && !lengthFits);
            ++badLengths;
            break;
        case Event::Kind::Incomplete:
            FUZZ_CHECK(false); // only dropPartial makes these
            break;
        }
    }
    FUZZ_CHECK(frames == whole.frames() && badErrorBytes == whole.badErrorBytes());
    FUZZ_CHECK(badLengths == whole.badLengths());
    if (whole.inFrame()) {
        const Event dropped = whole.dropPartial();
        FUZZ_CHECK(dropped.kind == Event::Kind::Incomplete && !dropped.bytes.empty());
        FUZZ_CHECK(dropped.bytes.size() <= std::size_t{dropped.bytes[0]});
        accounted += dropped.bytes.size();
        FUZZ_CHECK(!whole.inFrame() && whole.incompleteFrames() == 1);
    }
    FUZZ_CHECK(accounted == stream.size());

    // The decoder takes any bytes, not only what the parser lets through.
    checkDecoded(decoder.decode(stream));
    return 0;
}
