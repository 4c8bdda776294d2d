#pragma once

#include "Bytes.h"
#include "DCCMessage.h"

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// The dispatcher's worked sequences: which records are added (the first to an idle dispatcher),
// and the order in which frames must then be written, one per reply.
struct WorkedSequence {
    const char* title;
    std::vector<std::pair<std::string, int>> added; // name, priority
    std::vector<std::string> expected;
};

inline void PrintTo(const WorkedSequence& sequence, std::ostream* os) {
    *os << sequence.title;
}

inline void addWorkedSequenceRecords(std::map<std::string, DCCMessage>& records) {
    records.try_emplace("S", "S", 0x03, 0x78);
    records.try_emplace("H", "H", 0x03, 0x90);
    records.try_emplace("A", "A", 0x03, 0x60);
    records.try_emplace("B", "B", 0x04, 0x3F, 0x85);
    records.try_emplace("C", "C", 0x05, 0x60);
}

// The frame of each record as it must appear on the wire.
inline const std::map<std::string, Bytes>& workedSequenceWire() {
    static const std::map<std::string, Bytes> wire = {
        {"IDLE", {0x03, 0xFF, 0x00, 0xFF}},    {"S", {0x03, 0x03, 0x78, 0x7B}},
        {"H", {0x03, 0x03, 0x90, 0x93}},       {"A", {0x03, 0x03, 0x60, 0x63}},
        {"B", {0x04, 0x04, 0x3F, 0x85, 0xBE}}, {"C", {0x03, 0x05, 0x60, 0x65}}};
    return wire;
}

inline const std::vector<WorkedSequence>& workedSequences() {
    const std::string I = "IDLE";
    static const std::vector<WorkedSequence> sequences = {
        {"priority0", {{"S", 0}}, {"S", I, "S", I, "S", I, "S", I, "S", I, "S", I, "S", I, "S"}},
        {"priority1", {{"H", 1}}, {"H", I, "H", I, "H", I, "H"}},
        {"speedThenHeadlight",
         {{"S", 0}, {"H", 1}},
         {"S", "H", "S", "H", "S", "H", "S", "H", "S", I, "S", I, "S", I, "S"}},
        {"twoAtPriority0",
         {{"A", 0}, {"B", 0}},
         {"A", I, "B", "A", "B", "A", "B", "A", "B", "A", "B", "A", "B", "A", "B", "A", "B"}},
        {"threeAtPriority1",
         {{"A", 1}, {"B", 1}, {"C", 1}},
         {"A", I, "B", "C", "A", "B", "C", "A", "B", "C", "A", "C", "B"}},
    };
    return sequences;
}
