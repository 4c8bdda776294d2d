#pragma once

#include "BoardKnobs.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Applies the board's knobs to its replies: decides, reply by reply, which bytes go out in which
// writes, and whether the line is to be closed after them. Keeps the reply count and a reply held
// back for merging. Time plays no part here: the reply delay is the board's to apply.
//
// No input or output and no lock; one thread at a time.
class ReplyShaper {
public:
    struct Plan {
        // One write() each, in order. Empty when nothing goes out for this reply (dropped,
        // silent, or held back to be merged). A write after the first waits until the reader has
        // taken the one before.
        std::vector<std::vector<std::uint8_t>> writes;
        bool hangUp = false; // close the line once the writes are done
        std::string note;    // what the knobs did, for the log; empty when the reply goes as is
    };

    explicit ReplyShaper(BoardKnobs knobs = {}) : knobs_(knobs) {}

    const BoardKnobs& knobs() const { return knobs_; }
    // Takes effect from the next reply; the reply count and a held-back reply are kept.
    void setKnobs(const BoardKnobs& knobs) { knobs_ = knobs; }

    // Plans the next reply, whose text is reply.
    Plan shape(std::string_view reply);

    std::uint64_t replies() const { return replies_; }

private:
    bool hits(unsigned every) const { return every != 0 && replies_ % every == 0; }

    BoardKnobs knobs_;
    std::uint64_t replies_ = 0;
    std::vector<std::uint8_t> held_; // a reply held back, to go out with the next one
};
