#pragma once

#include "Bytes.h"
#include "StationEvent.h"
#include "StationKind.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// How one kind of command station is spoken to: a pure codec with no I/O, no clock and no Qt.
// The cab hands it DCC packets and the few commands that are not packets, and writes the bytes it
// returns to the port; it feeds every delivery from the port in and acts on the events that come
// out. Every write the cab makes (one packet, power, the greeting) is answered by exactly one
// reply event when the station works; the cab waits for it before the next write (stop-and-wait,
// with its reply time-out).
//
// Threading: main thread only, like the cab. Ownership: the cab owns its protocol.
class StationProtocol {
public:
    virtual ~StationProtocol() = default;

    virtual StationKind kind() const = 0;

    // The bytes to write for one DCC packet: its bytes as on the track, address first, error
    // byte last (2 to 6 bytes). Never empty for a well-formed packet.
    virtual Bytes encodePacket(std::span<const std::uint8_t> packet) = 0;
    // How the station should read a baseline speed packet to address: 14 or 28 steps (the
    // default). Only a station that turns packets back into commands needs it; others ignore it.
    virtual void setSpeedSteps(std::int64_t address, int steps) {
        static_cast<void>(address);
        static_cast<void>(steps);
    }
    // The bytes that switch track power on or off; empty when the station has no such command
    // (the board).
    virtual Bytes encodePower(bool on) const = 0;
    // Written once when the port opens, before any packet; empty for none. DCC-EX asks for its
    // status, SPROG for its version; both are answered by one reply event.
    virtual Bytes greeting() const = 0;

    // Takes bytes as they came from the station (any split, any merge) and returns the events in
    // them, in order. Keeps what is not yet a whole reply or line for the next call.
    virtual std::vector<StationEvent> feed(std::span<const std::uint8_t> bytes) = 0;
    // Forgets any partial reply or line (the port closed or opened).
    virtual void clear() = 0;

    // How the dispatcher repeats packets for this station: times each record is written from
    // the first queue, and whether it then goes round the second queue as many times again.
    virtual int repeats() const = 0;
    virtual bool repeatsInSecondQueue() const = 0;
    // The station keeps sending what it was last told to every locomotive (DCC-EX): the program
    // refreshes nothing.
    virtual bool refreshesItself() const = 0;
    // The station wants a packet whenever the last was answered (SPROG): with nothing else to
    // send, the cab sends its refresh or the idle packet.
    virtual bool keepsLinkBusy() const = 0;
    // Power can be switched (encodePower is not empty).
    bool switchesPower() const { return !encodePower(true).empty(); }
};

// A protocol for kind.
std::unique_ptr<StationProtocol> makeStationProtocol(StationKind kind);
