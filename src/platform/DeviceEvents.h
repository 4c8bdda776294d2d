#pragma once

#include "DeviceIterator.h"

#include <memory>

// Arrivals and removals of real serial devices (no virtual consoles or pseudo-terminals, no
// serial-core ports without hardware), reported in batches: everything that happened since the
// last report at once.
//
// Main thread only: subscriptions are made there and handlers are called there, from the main
// thread's event loop, never from inside addMatchingNotification. The program installs a
// UdevDeviceEvents; tests install a TestDeviceEvents and report devices by hand.
//
// Unlike the other services this one may be absent, and that is no error: a port manager made
// while none is installed is blind by definition (no list, no events), and says nothing.
class DeviceEvents {
public:
    enum class Kind { publish, terminate };

    virtual ~DeviceEvents() = default;

    // Subscribes handler to arrivals (publish) or removals (terminate). Null when the source
    // refuses. A publish iterator comes back already holding every device present now, in the
    // source's order, and its subscription was in force before they were listed, so no arrival in
    // between is lost. A device reported removed is described as it was when it arrived.
    virtual std::shared_ptr<DeviceIterator>
    addMatchingNotification(Kind kind, DeviceIterator::Handler handler) = 0;

    // The installed source, or null when none is (nothing will be reported).
    static DeviceEvents* installed();
    // Installs source (null: none) and returns the one it replaces. Main thread; the source must
    // outlive its installation.
    static DeviceEvents* install(DeviceEvents* source);
};
