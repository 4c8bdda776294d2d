// The DCC-EX and SPROG codecs, which read whatever a station (or line noise) sends and turn any
// packet into the station's bytes. Input: the first byte picks the station, the rest is fed in
// one piece and in pieces cut where FuzzedDataProvider's integers say; it is also taken as a
// packet. Checked: cutting changes no event; every event's text is bounded; a long line is
// reported at most once; a packet always becomes bounded, printable bytes with their terminator.
#include "DCCEXProtocol.h"
#include "FuzzCheck.h"
#include "SPROGProtocol.h"
#include "StationProtocol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>
#include <span>
#include <vector>

namespace {

std::unique_ptr<StationProtocol> protocolFor(std::uint8_t pick) {
    return pick % 2 == 0 ? makeStationProtocol(StationKind::dccex)
                         : makeStationProtocol(StationKind::sprog);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t pick = data[0];
    const std::span<const std::uint8_t> input(data + 1, size - 1);

    const std::unique_ptr<StationProtocol> whole = protocolFor(pick);
    const std::vector<StationEvent> expected = whole->feed(input);

    const std::unique_ptr<StationProtocol> cut = protocolFor(pick);
    FuzzedDataProvider cuts(data, size);
    std::vector<StationEvent> events;
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t length =
            std::min(input.size() - at, cuts.ConsumeIntegralInRange<std::size_t>(1, 64));
        const std::vector<StationEvent> some = cut->feed(input.subspan(at, length));
        events.insert(events.end(), some.begin(), some.end());
        at += length;
    }
    FUZZ_CHECK(events == expected);

    std::size_t tooLong = 0;
    for (const StationEvent& event : expected) {
        // A line is cut at 1 KiB; shown as printable text a byte takes at most four characters.
        FUZZ_CHECK(event.text.size() <= 4 * 1024 + 64);
        tooLong += event.kind == StationEvent::Kind::lineTooLong ? 1 : 0;
    }
    FUZZ_CHECK(tooLong <= 1);

    const std::span<const std::uint8_t> packet =
        input.first(std::min<std::size_t>(input.size(), 6));
    if (packet.size() >= 2) {
        const Bytes bytes = whole->encodePacket(packet);
        FUZZ_CHECK(!bytes.empty() && bytes.size() <= 256);
        FUZZ_CHECK(std::all_of(bytes.begin(), bytes.end(),
                               [](std::uint8_t b) { return b == '\r' || (b >= ' ' && b <= '~'); }));
        const char last = pick % 2 == 0 ? '>' : '\r';
        FUZZ_CHECK(static_cast<char>(bytes.back()) == last);
    }
    return 0;
}
