#pragma once

#include "KESSerialPortDelegate.h"

#include <functional>
#include <string>
#include <vector>

// A port delegate that writes down every callback, in order, and whether it ran on the main
// thread. onData and onClosed, if set, run after the callback is recorded.
class RecordingDelegate : public KESSerialPortDelegate {
public:
    void serialPortDidReceiveData(KESSerialPort& port, const Bytes& data) override;
    void serialPortWasRemovedFromSystem(KESSerialPort& port) override;
    void serialPortDidEncounterError(KESSerialPort& port, const PosixError& error) override;
    void serialPortWasOpened(KESSerialPort& port) override;
    void serialPortWasClosed(KESSerialPort& port) override;

    std::size_t count(const std::string& event) const;

    std::vector<std::string> events; // "opened", "closed", "removed", "data", "error"
    std::vector<Bytes> deliveries;
    std::vector<PosixError> errors;
    bool allOnMainThread = true;
    std::function<void(const Bytes&)> onData;
    std::function<void()> onClosed;

private:
    void record(std::string event);
};
