#include "SPROGProtocol.h"

#include "StationText.h"

#include <string_view>
#include <utility>

namespace {

bool endsWithPrompt(std::string_view text) {
    return text.ends_with("P> ") || text.ends_with("R> ");
}

// The events of one whole reply, its prompt cut off.
void readReply(std::string_view body, std::vector<StationEvent>& events) {
    if (body.find("!O") != std::string_view::npos) {
        StationEvent overload =
            eventOf(StationEvent::Kind::overload, "Track power cut out: overload or short circuit");
        overload.power = TrackPower::off;
        events.push_back(std::move(overload));
    }
    if (body.find("!E") != std::string_view::npos) {
        events.push_back(eventOf(StationEvent::Kind::error, "The SPROG reported an error"));
    }
    while (!body.empty()) {
        const std::size_t end = body.find_first_of("\r\n");
        const std::string_view line = body.substr(0, end);
        if (line.find("SPROG") != std::string_view::npos) {
            events.push_back(
                eventOf(StationEvent::Kind::version, printableText(trimmedText(line))));
            break;
        }
        body = end == std::string_view::npos ? std::string_view{} : body.substr(end + 1);
    }
    events.push_back(eventOf(StationEvent::Kind::reply, {}));
}

} // namespace

Bytes SPROGProtocol::encodePacket(std::span<const std::uint8_t> packet) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string command = "O";
    for (const std::uint8_t byte : packet) {
        command += ' ';
        command += digits[byte >> 4];
        command += digits[byte & 0x0F];
    }
    command += '\r';
    return bytesOf(command);
}

Bytes SPROGProtocol::encodePower(bool on) const {
    return bytesOf(on ? "+\r" : "-\r");
}

Bytes SPROGProtocol::greeting() const {
    return bytesOf("?\r");
}

std::vector<StationEvent> SPROGProtocol::feed(std::span<const std::uint8_t> bytes) {
    std::vector<StationEvent> events;
    for (const std::uint8_t byte : bytes) {
        text_ += static_cast<char>(byte);
        if (endsWithPrompt(text_)) {
            readReply(std::string_view(text_).substr(0, text_.size() - 3), events);
            text_.clear();
        } else if (text_.size() > maxReplyLength) {
            text_.erase(0, text_.size() - 2);
            if (!toldTooLong_) {
                toldTooLong_ = true;
                events.push_back(eventOf(StationEvent::Kind::lineTooLong,
                                         "The SPROG sent more than 1024 bytes without a prompt; "
                                         "they were dropped"));
            }
        }
    }
    return events;
}
