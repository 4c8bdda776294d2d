#pragma once

#include "DeviceEvents.h"

#include <vector>

// The test's device-event source: the devices present at subscription are those of the installed
// DeviceRegistry (a TestDeviceRegistry in tests), and the test reports arrivals and removals by
// hand. Installs itself for its lifetime. Main thread only.
class TestDeviceEvents : public DeviceEvents {
public:
    TestDeviceEvents();
    ~TestDeviceEvents() override;
    TestDeviceEvents(const TestDeviceEvents&) = delete;
    TestDeviceEvents& operator=(const TestDeviceEvents&) = delete;

    std::shared_ptr<DeviceIterator>
    addMatchingNotification(Kind kind, DeviceIterator::Handler handler) override;

    // Reports one batch to every live subscription of that kind, synchronously.
    void publish(const std::vector<DeviceHandle>& devices);
    void terminate(const std::vector<DeviceHandle>& devices);
    // From now on, subscriptions of kind are refused.
    void refuse(Kind kind);
    // Live subscriptions of kind.
    std::size_t subscriberCount(Kind kind) const;

private:
    void report(Kind kind, const std::vector<DeviceHandle>& devices);

    DeviceEvents* replaced_;
    std::vector<std::pair<Kind, std::weak_ptr<DeviceIterator>>> subscriptions_;
    bool refusePublish_ = false;
    bool refuseTerminate_ = false;
};
