// The panel's incremental UTF-8 decoder, fed the input in one chunk and in chunks cut where the
// fuzzer says. Input: the bytes, then from its end (FuzzedDataProvider's integers) the cuts.
// Checked: the text is valid UTF-8 whatever came in; cutting changes nothing; valid input comes
// out as it went in; what is held back is an unfinished character, never more.
#include "FuzzCheck.h"
#include "Utf8StreamDecoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Written from the definition (RFC 3629), apart from the decoder: shortest form only, no
// surrogates, nothing above U+10FFFF. Where the text stops inside a character, unfinished tells
// how many bytes that character has so far, if a caller wants them; otherwise it is invalid.
bool isValidUtf8(std::string_view text, std::size_t* unfinished = nullptr) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if (lead >= 0xC0 && lead < 0xE0) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead < 0xF8) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        std::size_t got = 1;
        for (; got < length && i + got < text.size(); ++got) {
            const auto next = static_cast<unsigned char>(text[i + got]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = point << 6 | (next & 0x3F);
        }
        if (got < length) {
            // Could this start still become a character? Check the bits it has so far.
            const std::uint32_t lowest = point << 6 * (length - got);
            const std::uint32_t highest = lowest | ((1u << 6 * (length - got)) - 1);
            const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
            const bool possible = highest >= shortest[length] && lowest <= 0x10FFFF &&
                                  !(lowest >= 0xD800 && highest <= 0xDFFF);
            if (unfinished == nullptr || !possible) {
                return false;
            }
            *unfinished = got;
            return true;
        }
        const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < shortest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    if (unfinished != nullptr) {
        *unfinished = 0;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::size_t> pieces(input.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (std::size_t& piece : pieces) {
        piece = input.ConsumeIntegralInRange<std::size_t>(0, 8);
    }
    const Bytes bytes = input.ConsumeRemainingBytes<std::uint8_t>();

    Utf8StreamDecoder whole;
    const std::string text = whole.decode(bytes);
    FUZZ_CHECK(isValidUtf8(text));
    FUZZ_CHECK(whole.pendingLength() <= 3 && whole.pendingLength() <= bytes.size());

    Utf8StreamDecoder cut;
    std::string cutText;
    std::size_t from = 0;
    for (std::size_t piece : pieces) {
        piece = std::min(piece, bytes.size() - from);
        const std::string part =
            cut.decode(Bytes(bytes.begin() + from, bytes.begin() + from + piece));
        // Each chunk's text is whole characters on its own.
        FUZZ_CHECK(isValidUtf8(part));
        cutText += part;
        from += piece;
    }
    cutText += cut.decode(Bytes(bytes.begin() + from, bytes.end()));
    FUZZ_CHECK(cutText == text);
    FUZZ_CHECK(cut.pendingLength() == whole.pendingLength());

    // Input that is UTF-8, perhaps up to a character it has only begun, comes out unchanged but
    // for that beginning, which is held back.
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::size_t unfinished = 0;
    if (isValidUtf8(raw, &unfinished)) {
        FUZZ_CHECK(whole.pendingLength() == unfinished);
        FUZZ_CHECK(text == raw.substr(0, raw.size() - unfinished));
    }

    // After reset the decoder starts afresh: a plain character comes out as it is.
    whole.reset();
    FUZZ_CHECK(whole.decode(Bytes{'a'}) == "a");
    return 0;
}
