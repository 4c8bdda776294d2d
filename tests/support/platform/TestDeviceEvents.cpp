#include "TestDeviceEvents.h"

#include "DeviceRegistry.h"

TestDeviceEvents::TestDeviceEvents() : replaced_(DeviceEvents::install(this)) {}

TestDeviceEvents::~TestDeviceEvents() {
    DeviceEvents::install(replaced_);
}

std::shared_ptr<DeviceIterator>
TestDeviceEvents::addMatchingNotification(Kind kind, DeviceIterator::Handler handler) {
    if ((kind == Kind::publish && refusePublish_) ||
        (kind == Kind::terminate && refuseTerminate_)) {
        return nullptr;
    }
    auto iterator = std::make_shared<DeviceIterator>(std::move(handler));
    if (kind == Kind::publish) {
        iterator->append(DeviceRegistry::shared().serialDevices());
    }
    subscriptions_.emplace_back(kind, iterator);
    return iterator;
}

void TestDeviceEvents::publish(const std::vector<DeviceHandle>& devices) {
    report(Kind::publish, devices);
}

void TestDeviceEvents::terminate(const std::vector<DeviceHandle>& devices) {
    report(Kind::terminate, devices);
}

void TestDeviceEvents::refuse(Kind kind) {
    (kind == Kind::publish ? refusePublish_ : refuseTerminate_) = true;
}

std::size_t TestDeviceEvents::subscriberCount(Kind kind) const {
    std::size_t count = 0;
    for (const auto& [subscribed, iterator] : subscriptions_) {
        count += subscribed == kind && !iterator.expired() ? 1 : 0;
    }
    return count;
}

void TestDeviceEvents::report(Kind kind, const std::vector<DeviceHandle>& devices) {
    // Copy: a handler may subscribe or unsubscribe.
    const auto subscriptions = subscriptions_;
    for (const auto& [subscribed, weak] : subscriptions) {
        if (auto iterator = weak.lock(); subscribed == kind && iterator) {
            iterator->deliver(devices);
        }
    }
}
