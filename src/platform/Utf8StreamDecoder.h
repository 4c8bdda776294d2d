#pragma once

#include "Bytes.h"

#include <cstddef>
#include <string>

// Turns a byte stream that arrives in chunks into UTF-8 text, chunk by chunk. A character whose
// bytes are split between chunks comes out once, whole, with the chunk that completes it; a byte
// sequence that can never be UTF-8 (a stray continuation byte, an overlong form, a surrogate, a
// lead byte cut short by a byte that cannot continue it) comes out as U+FFFD, one per maximal
// bad sequence, and the text around it is kept.
//
// Not thread-safe: one stream, one thread.
class Utf8StreamDecoder {
public:
    // The text of chunk, after whatever the previous chunk left unfinished. An incomplete
    // character at the end is held back for the next call.
    std::string decode(const Bytes& chunk);
    // Forgets a held-back incomplete character (a new stream starts).
    void reset() { pendingLength_ = 0; }
    // Bytes held back, waiting for the rest of their character.
    std::size_t pendingLength() const { return pendingLength_; }

private:
    unsigned char pending_[4] = {};
    std::size_t pendingLength_ = 0;
};
