#include "SimulatedTextStation.h"

#include <utility>
#include <vector>

SimulatedTextStation::SimulatedTextStation(Observer observer, bool powerOn, SpeedMode baselineMode)
    : powerOn_(powerOn),
      line_({.received =
                 [this](std::span<const std::uint8_t> bytes, StationLine::Clock::time_point) {
                     // A task posted before these bytes were written goes first.
                     runTasks();
                     received(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                               bytes.size()));
                 },
             .turn = [this](StationLine::Clock::time_point) { runTasks(); },
             .deadline = {}},
            std::move(observer)),
      decoder_(baselineMode) {}

SimulatedTextStation::~SimulatedTextStation() {
    stop();
}

void SimulatedTextStation::start() {
    line_.start();
}

void SimulatedTextStation::stop() {
    line_.stop();
}

void SimulatedTextStation::hangUp() {
    line_.hangUp();
}

bool SimulatedTextStation::isHungUp() const {
    return line_.isHungUp();
}

LayoutModel SimulatedTextStation::layout() const {
    const std::lock_guard lock(stateMutex_);
    return layout_;
}

bool SimulatedTextStation::isPowerOn() const {
    const std::lock_guard lock(stateMutex_);
    return powerOn_;
}

void SimulatedTextStation::inject(std::string bytes) {
    post([this, bytes = std::move(bytes)] {
        SimulatorEvent event;
        event.kind = SimulatorEvent::Kind::Unprompted;
        event.bytes.assign(bytes.begin(), bytes.end());
        event.meaning = "injected " + std::to_string(bytes.size()) + " bytes";
        report(event);
        reply(bytes);
    });
}

void SimulatedTextStation::reply(std::string text, bool afterRead) {
    if (line_.isHungUp() || text.empty()) {
        return;
    }
    line_.queue(std::vector<std::uint8_t>(text.begin(), text.end()), StationLine::Clock::now(),
                afterRead);
}

void SimulatedTextStation::report(const SimulatorEvent& event) {
    line_.report(event);
}

void SimulatedTextStation::post(std::function<void()> task) {
    {
        const std::lock_guard lock(tasksMutex_);
        tasks_.push_back(std::move(task));
    }
    line_.wake();
}

DecodedPacket SimulatedTextStation::applyPacket(std::span<const std::uint8_t> packet) {
    DecodedPacket decoded = decoder_.decode(packet);
    const std::lock_guard lock(stateMutex_);
    if (powerOn_) {
        layout_.apply(decoded);
    }
    return decoded;
}

void SimulatedTextStation::runTasks() {
    for (;;) {
        std::function<void()> task;
        {
            const std::lock_guard lock(tasksMutex_);
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}
