#pragma once

#include "KESSerialPort.h"
#include "MainQueue.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>

class RepeatingTimer;

// One successful open of a port: its descriptor, the stop flag that ties the background work of
// this opening to it, and that work itself (the read loop, and the line poll on a device with
// modem lines).
//
// Once stopped, no read loop or poll of this opening touches the descriptor again, even if a
// later open is given the same descriptor number, and nothing they queued for the main thread is
// delivered once the port has moved on to another opening or none: every report carries the
// opening's serial number, and the port checks it on delivery.
//
// Ownership: the port holds its current opening; the threads of an opening hold it and the port
// until they have been joined (on the main thread). The opening does not own the descriptor:
// the port closes it after stop.
class KESSerialPort::Opening {
public:
    Opening(int descriptor, std::uint64_t serial);
    ~Opening();
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;

    int descriptor() const { return descriptor_; }
    // Unique among the openings of the process.
    std::uint64_t serial() const { return serial_; }

    // Received chunks the read loop may have queued for the main thread and not yet delivered.
    // At this many it stops reading until the main thread has caught up with half of them, so a
    // line that sends faster than the main thread can take it fills the kernel's buffer (and
    // holds the sender back) instead of the main queue: the queue stays short, and timers and
    // painting on the main thread get their turn between deliveries.
    static constexpr int maximumBacklog = 16;

    // Settled by open before any background work starts; read-only afterwards.
    bool hasModemLines = true;
    // What the line read at open failed with (0: it did not), so the poll does not say it again.
    int lineErrorAtOpen = 0;

    // Main thread. Start the read loop and the line poll of this opening for port. Both throw
    // what the thread start throws (std::system_error); what was started before stays until
    // stop. startLinePoll returns the poll's timer.
    static void startReadLoop(KESSerialPort& port, const std::shared_ptr<Opening>& opening);
    static std::shared_ptr<RepeatingTimer> startLinePoll(KESSerialPort& port,
                                                         const std::shared_ptr<Opening>& opening);

    // Main thread. Returns once no background work of this opening is inside a call on the
    // descriptor, and none will start. The threads themselves end shortly after, without the
    // main thread's help. Never waits on the device: the descriptor does not block, and only a
    // call that returns at once is made under the lock.
    void stop();

private:
    void wake() const;
    // Background threads: bracket a wait on the descriptor; beginWait is false once stopped.
    bool beginWait();
    void endWait();
    bool isStopped() const;
    // Background threads: runs work on the descriptor unless the opening is stopped.
    template <typename Work>
    bool withDescriptor(Work&& work);

    void runReadLoop(const std::weak_ptr<KESSerialPort>& port, std::stop_token stop,
                     const MainQueue::Handle& mainQueue);

    const int descriptor_;
    const std::uint64_t serial_;
    const int wakeDescriptor_; // readable once stopped, so a waiting read loop wakes at once
    // The chunks queued and not yet delivered, and the event the main thread signals when it has
    // taken the backlog down to half. Shared with the queued deliveries, which may outlive this.
    struct Backlog {
        Backlog();
        ~Backlog();
        std::atomic<int> queued{0};
        const int caughtUp;
    };
    const std::shared_ptr<Backlog> backlog_ = std::make_shared<Backlog>();
    std::shared_ptr<RepeatingTimer> linePoll_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool stopped_ = false;
    bool waiting_ = false;
};
