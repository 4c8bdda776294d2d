#include "ReplyShaper.h"

#include <utility>

ReplyShaper::Plan ReplyShaper::shape(std::string_view reply) {
    ++replies_;
    Plan plan;
    plan.hangUp = knobs_.hangUpAfter && replies_ >= *knobs_.hangUpAfter;

    if (knobs_.silentAfter && replies_ > *knobs_.silentAfter) {
        held_.clear();
        plan.note = "silent";
        return plan;
    }
    if (hits(knobs_.dropEvery)) {
        plan.note = "dropped";
        return plan;
    }
    std::vector<std::uint8_t> bytes(reply.begin(), reply.end());
    if (hits(knobs_.garbleEvery)) {
        bytes.insert(bytes.begin(), {0xFF, 0xFE});
        plan.note = "not UTF-8";
    }
    auto addNote = [&plan](const char* text) {
        plan.note += plan.note.empty() ? text : std::string(", ") + text;
    };
    // A reply that carries a held-back one is never held itself, so "every reply" pairs them up.
    if (!held_.empty()) {
        bytes.insert(bytes.begin(), held_.begin(), held_.end());
        held_.clear();
        addNote("merged with the reply held back");
    } else if (hits(knobs_.mergeEvery)) {
        held_ = std::move(bytes);
        addNote("held back for the next reply");
        return plan;
    }
    if (hits(knobs_.splitEvery) && bytes.size() >= 2) {
        const auto half = bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2);
        plan.writes.emplace_back(bytes.begin(), half);
        plan.writes.emplace_back(half, bytes.end());
        addNote("split in two writes");
    } else {
        plan.writes.push_back(std::move(bytes));
    }
    return plan;
}
