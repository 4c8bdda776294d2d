#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// Ways to make the simulated board misbehave on purpose, to test how the program copes with its
// link. All off by default: the board then answers every frame at once with one write.
//
// "Every n-th" counts replies from 1 (a reply is due for every frame, good or bad); 0 is off.
// When several knobs hit the same reply: silence first, then dropping, then the bytes are spoiled,
// then held back for merging, then split.
struct BoardKnobs {
    // Wait this long after a frame has arrived before its reply is written.
    std::chrono::milliseconds replyDelay{0};
    // The n-th, 2n-th, ... reply is not sent: a lost acknowledgement.
    unsigned dropEvery = 0;
    // The n-th, 2n-th, ... reply goes out in two writes, the second only once the reader has taken
    // the first, so that it arrives as two deliveries.
    unsigned splitEvery = 0;
    // The n-th, 2n-th, ... reply is held back and written in one write with the next reply, so
    // that two replies arrive as one delivery. A reply that carries a held one is not held itself:
    // with 1, replies go out in pairs.
    unsigned mergeEvery = 0;
    // The n-th, 2n-th, ... reply starts with bytes that are never valid UTF-8 (FF FE).
    unsigned garbleEvery = 0;
    // Answer only the first n frames, none after; 0 answers none. Empty: never go silent.
    std::optional<std::uint64_t> silentAfter;
    // Close the line once the n-th frame (or a later one, when set late) has been answered and
    // the reader has taken the reply (hanging up discards what is unread). Empty: never.
    std::optional<std::uint64_t> hangUpAfter;
    // A frame still incomplete this long after its last byte is dropped and answered as a bad
    // frame ("ERR <n> incomplete"), so that a lost byte does not swallow the next good frame. The
    // program writes each frame in one write, so its bytes come within a fraction of a
    // millisecond; the margin is for a loaded machine. Zero: wait for the rest for ever.
    std::chrono::milliseconds frameTimeout{50};
};
