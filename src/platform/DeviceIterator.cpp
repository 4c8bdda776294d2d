#include "DeviceIterator.h"

#include <utility>

DeviceIterator::DeviceIterator(Handler handler) : handler_(std::move(handler)) {}

DeviceHandle DeviceIterator::next() {
    if (pending_.empty()) {
        return nullptr;
    }
    DeviceHandle device = std::move(pending_.front());
    pending_.pop_front();
    return device;
}

void DeviceIterator::append(const std::vector<DeviceHandle>& devices) {
    pending_.insert(pending_.end(), devices.begin(), devices.end());
}

void DeviceIterator::deliver(const std::vector<DeviceHandle>& batch) {
    if (batch.empty()) {
        return;
    }
    append(batch);
    if (handler_) {
        handler_(*this);
    }
}
