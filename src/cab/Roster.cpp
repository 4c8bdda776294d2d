#include "Roster.h"

#include "DCCSpeedEncoding.h"

#include <algorithm>

namespace {

bool isBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return c == ' ' || c == '\t' || c == '\n'; });
}

} // namespace

const RosterEntry* Roster::findByAddress(std::int64_t address) const {
    for (const RosterEntry& entry : entries_) {
        if (entry.address == address) {
            return &entry;
        }
    }
    return nullptr;
}

const RosterEntry* Roster::findByName(const std::string& name) const {
    for (const RosterEntry& entry : entries_) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

std::optional<std::string> Roster::problemWith(const RosterEntry& entry,
                                               std::optional<std::size_t> replacing) const {
    if (isBlank(entry.name)) {
        return "A locomotive of the roster needs a name";
    }
    if (!isValidLocoAddress(entry.address)) {
        return "The address of " + entry.name + " must be from 1 to 10239, not " +
               std::to_string(entry.address);
    }
    if (entry.speedMode < 0 || entry.speedMode > 2) {
        return "The speed steps of " + entry.name + " must be 14, 28 or 128";
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (replacing && *replacing == i) {
            continue;
        }
        if (entries_[i].name == entry.name) {
            return "The roster already has a locomotive named " + entry.name;
        }
        if (entries_[i].address == entry.address) {
            return "Address " + std::to_string(entry.address) + " is already " + entries_[i].name +
                   " in the roster";
        }
    }
    return std::nullopt;
}

bool Roster::store(RosterEntry entry, std::optional<std::size_t> replacing) {
    if (replacing && *replacing >= entries_.size()) {
        replacing.reset();
    }
    if (problemWith(entry, replacing)) {
        return false;
    }
    entry.momentaryFunctions &= allFunctions;
    if (replacing) {
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(*replacing));
    }
    const auto at = std::upper_bound(
        entries_.begin(), entries_.end(), entry,
        [](const RosterEntry& a, const RosterEntry& b) { return a.name < b.name; });
    entries_.insert(at, std::move(entry));
    return true;
}

void Roster::remove(std::size_t index) {
    if (index < entries_.size()) {
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    }
}
