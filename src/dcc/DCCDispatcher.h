#pragma once

#include "Bytes.h"
#include "DCCQueue.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

struct DCCMessage;
class DCCMessageDisplay;
class KESSerialPort;

// Decides which packet goes to the command-station board next, and writes it.
//
// Two ring queues: priority 0 is served up to four packets per turn, priority 1 one packet per
// turn, in alternation; an empty queue gives up its turn. A record is written four times from its
// queue; from queue 0 it then moves to queue 1 for four more, from queue 1 it leaves. The same
// record is never written twice in a row: the other queue is served instead or, when one queue is
// empty, the idle packet goes in between.
//
// Stop-and-wait: one frame is written per sendNextMessage. An idle dispatcher writes as soon as a
// record is added; after that the owner calls sendNextMessage once per reply from the board.
//
// The above is the board's way, and the default. A station of another kind sets its own Policy
// and the bytes each record is written as (setEncoder): how often a record is repeated, whether the
// dispatcher waits for the reply to its last record before it goes idle, and whether the link is
// kept busy. With a refresh source (setRefresh), once both queues are empty the dispatcher asks it
// for a record to write once, outside the queues; a record just written gives way to the idle
// packet. A new record always goes before the refresh. Refresh writes, and the idle packets that
// only keep the link busy, show no line.
//
// Threading: main thread only, no lock; the only exception is the one-time creation of the idle
// record, which is safe under concurrent first use. Every callback (the display line, the port
// write) runs on the caller's thread before the call returns.
//
// Ownership: the dispatcher owns its queues, its idle record and a shared reference to its port.
// It never owns the records it sends; a record still queued when the dispatcher is destroyed is
// left in no queue.
class DCCDispatcher {
public:
    // Shows its lines on the process-wide `controller`, whichever is registered when a frame is
    // written.
    DCCDispatcher();
    // Shows its lines on display (null: none), which must outlive the dispatcher. The headless
    // runner and tests give each dispatcher a display of its own.
    explicit DCCDispatcher(DCCMessageDisplay* display);
    ~DCCDispatcher();
    DCCDispatcher(const DCCDispatcher&) = delete;
    DCCDispatcher& operator=(const DCCDispatcher&) = delete;

    struct Policy {
        // Times a record is written from the queue it is added to.
        std::int32_t repeats = 4;
        // A record that has had its repeats in the first queue then goes round the second one.
        bool secondQueue = true;
        // Idle as soon as the last queued record is written, not when its reply comes.
        bool idleOnLastWrite = true;
        // With nothing to send (and no refresh), the idle packet goes rather than nothing.
        bool keepsLinkBusy = false;
        // The same record never goes twice in a row (DCC packets on the track need the space);
        // a station that makes its own packets from commands does not need it.
        bool spacesRepeats = true;
        // The refresh source is asked when the queues are empty.
        bool refreshes = false;
    };
    using Encoder = std::function<Bytes(const DCCMessage&)>;
    // Gives the record to write when the queues are empty, or null for none. Called on the main
    // thread from sendNextMessage; the record is not queued and must outlive its write.
    using RefreshSource = std::function<DCCMessage*()>;

    const Policy& policy() const { return policy_; }
    // Takes effect for records added from now on.
    void setPolicy(const Policy& policy) { policy_ = policy; }
    // The bytes written for a record; empty: frameOf.
    void setEncoder(Encoder encoder) { encoder_ = std::move(encoder); }
    void setRefresh(RefreshSource source) { refresh_ = std::move(source); }
    // The owner has written something of its own that awaits a reply: until the next
    // sendNextMessage the dispatcher writes nothing, not even for a record added while idle.
    void awaitOwnReply() {
        isEmpty_ = false;
        lastWasBackground_ = false;
    }
    // Nothing of the queues is left to write or awaits its reply: the dispatcher is empty, or
    // what it last wrote only refreshes or keeps the link busy.
    bool isIdle() const { return isEmpty_ || (lastWasBackground_ && queuesAreEmpty()); }
    // The last write only refreshed or kept the link busy.
    bool lastWriteWasBackground() const { return lastWasBackground_; }

    // Takes message out of whatever queue holds it, adds it to the queue of the given priority
    // (after that queue's cursor, with the policy's transmissions to go) and, if the dispatcher is
    // idle, writes a frame before returning. A negative priority counts as 0, one above 1 as 1.
    void addMessage(DCCMessage* message, std::int32_t priority);
    // Takes message out of whatever queue holds it; a record in no queue is left alone.
    void removeMessage(DCCMessage* message);
    // Chooses and writes at most one packet; with both queues empty the dispatcher goes idle.
    void sendNextMessage();

    // True while idle: nothing awaits an acknowledgement and the next added record is written at
    // once.
    bool empty() const { return isEmpty_; }
    bool queuesAreEmpty() const;

    // Where frames are written. Null: the write is skipped, the bookkeeping happens all the same.
    const std::shared_ptr<KESSerialPort>& serialPort() const { return serialPort_; }
    void setSerialPort(std::shared_ptr<KESSerialPort> port);

    // The wire image of a record: frame bytes 0 to packetLength.
    static Bytes frameOf(const DCCMessage& message);

    // Read-only views of the sending state, for the diagnostics and tests.
    const DCCMessage* lastMessage() const { return lastMessage_; }
    std::int32_t lastQueueSent() const { return lastQueueSent_; }
    std::int32_t sendCount() const { return sendCount_; }
    // Frames written so far (queued records and idle packets alike, port or no port): a change
    // tells the owner that a new frame awaits its reply.
    std::uint64_t framesWritten() const { return framesWritten_; }
    const DCCQueue& dispatchQueue(std::size_t priority) const {
        return dispatchQueues_.at(priority);
    }
    // The idle record, made on the first sendNextMessage; null before.
    const DCCMessage* idleMessage() const { return idleMessage_.get(); }

private:
    void transmit(DCCMessage* message);
    // show: the display and standard output get their lines. Writes that only keep the link
    // busy or refresh what the decoders already have are not shown.
    void transmitIdle(bool show = true);
    void transmitRefresh(DCCMessage* message);
    void write(const DCCMessage& message);
    void display(const DCCMessage& message) const;

    std::array<DCCQueue, 2> dispatchQueues_;
    const DCCMessage* lastMessage_ = nullptr; // compared by identity only, never dereferenced
    bool isEmpty_ = true;
    std::shared_ptr<KESSerialPort> serialPort_;
    bool usesGlobalDisplay_ = true;
    DCCMessageDisplay* display_ = nullptr;

    // State of the sending turn. Held per dispatcher: the program makes one, and each test can
    // start from a fresh one.
    std::int32_t lastQueueSent_ = 0;
    std::int32_t sendCount_ = 4;
    std::uint64_t framesWritten_ = 0;
    bool lastWasBackground_ = false;
    std::once_flag idleOnce_;
    std::unique_ptr<DCCMessage> idleMessage_;
    Policy policy_;
    Encoder encoder_;
    RefreshSource refresh_;
};
