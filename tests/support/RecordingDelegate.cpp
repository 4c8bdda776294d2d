#include "RecordingDelegate.h"

#include "MainQueue.h"

#include <algorithm>

void RecordingDelegate::record(std::string event) {
    allOnMainThread = allOnMainThread && MainQueue::shared().isMainThread();
    events.push_back(std::move(event));
}

void RecordingDelegate::serialPortDidReceiveData(KESSerialPort&, const Bytes& data) {
    record("data");
    deliveries.push_back(data);
    if (onData) {
        onData(data);
    }
}

void RecordingDelegate::serialPortWasRemovedFromSystem(KESSerialPort&) {
    record("removed");
}

void RecordingDelegate::serialPortDidEncounterError(KESSerialPort&, const PosixError& error) {
    record("error");
    errors.push_back(error);
}

void RecordingDelegate::serialPortWasOpened(KESSerialPort&) {
    record("opened");
}

void RecordingDelegate::serialPortWasClosed(KESSerialPort&) {
    record("closed");
    if (onClosed) {
        onClosed();
    }
}

std::size_t RecordingDelegate::count(const std::string& event) const {
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
}
