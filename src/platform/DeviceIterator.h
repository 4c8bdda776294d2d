#pragma once

#include "SerialDevice.h"

#include <deque>
#include <functional>
#include <vector>

// One subscription to device arrivals or removals, and the iterator over the devices it reports.
//
// A device-event source (DeviceEvents) fills it with a batch and then calls its handler once;
// the handler takes the devices with next() until it yields null. Whatever a handler leaves
// unread stays for the next call. Releasing the last reference ends the subscription: the source
// keeps only a weak one, so no handler runs afterwards.
//
// Main thread only, like the source that feeds it.
class DeviceIterator {
public:
    using Handler = std::function<void(DeviceIterator& iterator)>;

    explicit DeviceIterator(Handler handler);
    DeviceIterator(const DeviceIterator&) = delete;
    DeviceIterator& operator=(const DeviceIterator&) = delete;

    // The next device reported, or null when there is none left.
    DeviceHandle next();

    // For sources: queue devices without telling anyone (the devices present at subscription).
    void append(const std::vector<DeviceHandle>& devices);
    // For sources: queue one batch and call the handler, synchronously. An empty batch calls
    // nobody.
    void deliver(const std::vector<DeviceHandle>& batch);

private:
    Handler handler_;
    std::deque<DeviceHandle> pending_;
};
