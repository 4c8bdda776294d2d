#pragma once

#include <array>
#include <cstdint>
#include <string>

struct DCCQueue;

// One DCC packet as the program keeps it: a named record holding the packet already laid out as
// the frame written to the command-station board (length byte, packet bytes, error byte last),
// plus the ring links and counters through which the dispatcher's queues circulate it.
//
// A plain record with public fields: the queue, the dispatcher and the cab controller read and
// write them directly. Records have identity (queues link to them by address), so they can be
// neither copied nor moved. Main thread only; no lock.
//
// Whoever creates a record owns it. The cab controller's catalogue and the dispatcher's idle
// record live as long as the program; a record destroyed while queued first unlinks itself, so
// no queue is ever left pointing at freed memory.
struct DCCMessage {
    static constexpr std::size_t frameCapacity = 7; // length byte + up to six packet bytes

    DCCMessage* next;         // forward link of the queue ring; a new record links to itself
    DCCMessage* previous;     // backward link of the queue ring
    DCCQueue* queue;          // the queue whose ring holds the record, or null
    std::int32_t repeatsLeft; // transmissions left in the current queue
    std::int32_t timesSent;   // transmissions in all (reset only by the diagnostics)
    std::array<std::uint8_t, frameCapacity> frame; // [0] = N, [1..N] = packet, [N] = error byte
    std::uint8_t packetLength;                     // N: packet bytes, error byte included
    std::string name;

    // A record with no name whose packet is the idle packet (03 FF 00 FF), so that it can be
    // queued and written as it is. Prints "\n init %p" with its own address on standard output.
    DCCMessage();
    // Two- and three-byte packets; the error byte is computed. Prints nothing.
    DCCMessage(std::string name, std::uint8_t b1, std::uint8_t b2);
    DCCMessage(std::string name, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3);
    ~DCCMessage();

    DCCMessage(const DCCMessage&) = delete;
    DCCMessage& operator=(const DCCMessage&) = delete;

    // Rewrite the packet in place. Only frame bytes 0 to N and packetLength change; bytes past N
    // keep what they held. Safe while queued: the record keeps its place, links and counters.
    void updateData(std::uint8_t b1, std::uint8_t b2);
    void updateData(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3);
    // A four-byte packet: a long (two-byte) address with a two-byte instruction.
    void updateData(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4);
};
