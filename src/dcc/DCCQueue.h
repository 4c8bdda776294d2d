#pragma once

#include <cstdint>

struct DCCMessage;

// A circular, doubly linked ring of DCCMessage records with a cursor. The links live in the
// records themselves: the queue allocates nothing and owns none of its records. Every operation
// takes constant time. Main thread only; no lock. A queue and a record may be destroyed in either
// order: whichever goes first unlinks itself from the other.
//
// Service order: records added one by one come out of NextMessage in the order added,
// cyclically; a newcomer goes right after the cursor, so it is served only after every record
// already in the ring has had its turn.
struct DCCQueue {
    DCCMessage* current = nullptr;   // last record returned or added; null exactly when empty
    const std::int32_t sendsPerTurn; // read by the dispatcher: packets per turn for this queue

    explicit DCCQueue(std::int32_t sendsPerTurn);
    // Takes every record still in the ring out of it, so none is left pointing at this queue.
    ~DCCQueue();
    DCCQueue(const DCCQueue&) = delete;
    DCCQueue& operator=(const DCCQueue&) = delete;

    // Links m in right after the cursor and makes it the cursor; sets its queue and resets its
    // repeatsLeft to repeats. m must be in no queue (the dispatcher always takes it out first).
    void AddMessage(DCCMessage* m, std::int32_t repeats = 4);
    // If m belongs to this queue: unlinks it, makes its successor the cursor (none if it was the
    // only record), clears its queue and sets repeatsLeft to 0. Otherwise changes nothing.
    void RemoveMessage(DCCMessage* m);
    // Advances the cursor one step and returns the record it lands on; null when empty.
    DCCMessage* NextMessage();
};
