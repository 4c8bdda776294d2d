#include "StationText.h"

#include <cstddef>
#include <utility>

std::string printableText(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
        }
    }
    return out;
}

std::string_view trimmedText(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

StationEvent eventOf(StationEvent::Kind kind, std::string text) {
    StationEvent event;
    event.kind = kind;
    event.text = std::move(text);
    return event;
}
