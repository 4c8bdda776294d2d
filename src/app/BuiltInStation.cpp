#include "BuiltInStation.h"

#include "KESSerialPort.h"
#include "MainQueue.h"
#include "SimulatedBoard.h"
#include "SimulatedDCCEX.h"
#include "SimulatedSPROG.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>

// What the station's thread hands over: its events, taken on the main thread in batches. The
// owner is cleared (on the main thread) when the station goes, so a batch posted before that is
// dropped.
struct BuiltInStation::Inbox {
    std::mutex mutex;
    std::deque<SimulatorEvent> events; // under mutex
    bool posted = false;               // under mutex: a delivery is on its way
    BuiltInStation* owner = nullptr;   // main thread only
};

namespace {

// A board's frame in hex; a text command as text, its line ends left out and other control bytes
// escaped.
std::string lineFor(const SimulatorEvent& event, bool text) {
    using Kind = SimulatorEvent::Kind;
    if (event.kind == Kind::HungUp || event.kind == Kind::WriteFailed ||
        event.kind == Kind::Unprompted) {
        return "-- " + event.meaning;
    }
    std::string bytes;
    char byte[8];
    for (const std::uint8_t b : event.bytes) {
        if (!text) {
            std::snprintf(byte, sizeof byte, "%02X ", b);
            bytes += byte;
        } else if (b >= 0x20 && b < 0x7F) {
            bytes += static_cast<char>(b);
        } else if (b != '\r' && b != '\n') {
            std::snprintf(byte, sizeof byte, "\\x%02X", b);
            bytes += byte;
        }
    }
    if (text) {
        bytes += ' ';
    }
    // "#%-4llu %-21s" without a limit on how long a text command may be.
    std::string line = "#" + std::to_string(event.number);
    line.resize(std::max<std::size_t>(line.size(), 5), ' ');
    line += ' ' + bytes;
    line.resize(std::max<std::size_t>(line.size(), 27), ' ');
    return line + event.meaning;
}

} // namespace

BuiltInStation::BuiltInStation() : inbox_(std::make_shared<Inbox>()) {
    inbox_->owner = this;
}

BuiltInStation::~BuiltInStation() {
    shutDown();
    inbox_->owner = nullptr;
}

void BuiltInStation::shutDown() {
    // The port lets go of the line before the station hangs it up, and the station's thread goes
    // before the inbox's owner, so nothing reaches the inbox after that.
    if (port_ && port_->isOpen()) {
        port_->close();
    }
    port_.reset();
    station_.reset();
    const std::lock_guard<std::mutex> lock(inbox_->mutex);
    inbox_->events.clear();
}

void BuiltInStation::setKind(StationKind kind) {
    if (kind == kind_) {
        return;
    }
    kind_ = kind;
    if (!station_) {
        return;
    }
    shutDown();
    layout_ = {};
    didChangeValueForKey("isRunning");
    didChangeValueForKey("layout");
}

std::shared_ptr<KESSerialPort> BuiltInStation::start(std::string* why) {
    if (station_) {
        return port_;
    }
    const MainQueue::Handle queue = MainQueue::sharedHandle();
    std::weak_ptr<Inbox> weakInbox = inbox_;
    auto observer = [queue, weakInbox](const SimulatorEvent& event) {
        const std::shared_ptr<Inbox> inbox = weakInbox.lock();
        if (!inbox) {
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(inbox->mutex);
            inbox->events.push_back(event);
            if (inbox->posted) {
                return;
            }
            inbox->posted = true;
        }
        queue.async([weakInbox] {
            const std::shared_ptr<Inbox> inbox = weakInbox.lock();
            if (inbox && inbox->owner != nullptr) {
                inbox->owner->deliver();
            }
        });
    };
    try {
        std::unique_ptr<SimulatedStation> station;
        switch (kind_) {
        case StationKind::board:
            station = std::make_unique<SimulatedBoard>(SpeedMode::Steps28, BoardKnobs{}, observer);
            break;
        case StationKind::dccex:
            station = std::make_unique<SimulatedDCCEX>(observer);
            break;
        case StationKind::sprog:
            station = std::make_unique<SimulatedSPROG>(observer);
            break;
        }
        auto port = KESSerialPort::serialPortWithKnownPath(station->slavePath(), portName);
        if (!port) {
            if (why != nullptr) {
                *why = "its pseudo-terminal " + station->slavePath() + " cannot be used";
            }
            return nullptr;
        }
        station->start();
        station_ = std::move(station);
        port_ = std::move(port);
    } catch (const std::system_error& error) {
        if (why != nullptr) {
            *why = error.what();
        }
        return nullptr;
    }
    didChangeValueForKey("isRunning");
    return port_;
}

LayoutModel BuiltInStation::boardLayout() const {
    return station_ ? station_->layout() : LayoutModel{};
}

void BuiltInStation::deliver() {
    std::deque<SimulatorEvent> events;
    {
        const std::lock_guard<std::mutex> lock(inbox_->mutex);
        events.swap(inbox_->events);
        inbox_->posted = false;
    }
    bool framesCame = false;
    const bool text = kind_ != StationKind::board;
    for (const SimulatorEvent& event : events) {
        if (event.kind == SimulatorEvent::Kind::Frame ||
            event.kind == SimulatorEvent::Kind::Command) {
            ++frames_;
            framesCame = true;
        }
        if (frameHandler_) {
            frameHandler_(lineFor(event, text));
        }
    }
    if (framesCame && station_) {
        layout_ = station_->layout();
        didChangeValueForKey("layout");
    }
}
