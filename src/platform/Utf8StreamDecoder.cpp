#include "Utf8StreamDecoder.h"

#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// What a lead byte promises: how many continuation bytes follow, and the range the first of them
// must lie in (narrower than 80..BF where a wider one would allow overlong forms, surrogates or
// code points above U+10FFFF). need < 0: the byte can never start a character.
struct Lead {
    int need;
    unsigned char lower;
    unsigned char upper;
};

Lead leadOf(unsigned char byte) {
    if (byte >= 0xC2 && byte <= 0xDF) {
        return {1, 0x80, 0xBF};
    }
    if (byte == 0xE0) {
        return {2, 0xA0, 0xBF};
    }
    if (byte == 0xED) {
        return {2, 0x80, 0x9F};
    }
    if (byte >= 0xE1 && byte <= 0xEF) {
        return {2, 0x80, 0xBF};
    }
    if (byte == 0xF0) {
        return {3, 0x90, 0xBF};
    }
    if (byte == 0xF4) {
        return {3, 0x80, 0x8F};
    }
    if (byte >= 0xF1 && byte <= 0xF3) {
        return {3, 0x80, 0xBF};
    }
    return {-1, 0, 0};
}

} // namespace

std::string Utf8StreamDecoder::decode(const Bytes& chunk) {
    // Only a held-back character (at most three bytes) is copied in front of the chunk.
    Bytes joined;
    const Bytes* bytes = &chunk;
    if (pendingLength_ != 0) {
        joined.assign(pending_, pending_ + pendingLength_);
        joined.insert(joined.end(), chunk.begin(), chunk.end());
        bytes = &joined;
        pendingLength_ = 0;
    }
    const std::size_t size = bytes->size();
    const unsigned char* data = bytes->data();

    std::string text;
    text.reserve(size);
    std::size_t i = 0;
    while (i < size) {
        const unsigned char byte = data[i];
        if (byte < 0x80) {
            text += static_cast<char>(byte);
            ++i;
            continue;
        }
        const Lead lead = leadOf(byte);
        if (lead.need < 0) {
            text += replacementCharacter;
            ++i;
            continue;
        }
        int good = 0; // continuation bytes that fit
        bool broken = false;
        while (good < lead.need && i + 1 + good < size) {
            const unsigned char next = data[i + 1 + good];
            const unsigned char lower = good == 0 ? lead.lower : 0x80;
            const unsigned char upper = good == 0 ? lead.upper : 0xBF;
            if (next < lower || next > upper) {
                broken = true;
                break;
            }
            ++good;
        }
        if (broken) {
            // The bad byte is not taken: it may start the next character.
            text += replacementCharacter;
            i += 1 + good;
        } else if (good < lead.need) {
            pendingLength_ = size - i;
            std::memcpy(pending_, data + i, pendingLength_);
            break;
        } else {
            text.append(reinterpret_cast<const char*>(data + i), 1 + good);
            i += 1 + good;
        }
    }
    return text;
}
