#include "BuiltInStation.h"

#include "KESSerialPort.h"
#include "MainQueue.h"
#include "SimulatedBoard.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>

// What the board's thread hands over: its events, taken on the main thread in batches. The owner
// is cleared (on the main thread) when the station goes, so a batch posted before that is
// dropped.
struct BuiltInStation::Inbox {
    std::mutex mutex;
    std::deque<SimulatedBoard::Event> events; // under mutex
    bool posted = false;                      // under mutex: a delivery is on its way
    BuiltInStation* owner = nullptr;          // main thread only
};

namespace {

std::string lineFor(const SimulatedBoard::Event& event) {
    using Kind = SimulatedBoard::Event::Kind;
    if (event.kind == Kind::HungUp || event.kind == Kind::WriteFailed) {
        return "-- " + event.meaning;
    }
    std::string bytes;
    char byte[4];
    for (const std::uint8_t b : event.bytes) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        bytes += byte;
    }
    char head[64];
    std::snprintf(head, sizeof head, "#%-4llu %-21s", static_cast<unsigned long long>(event.number),
                  bytes.c_str());
    return head + event.meaning;
}

} // namespace

BuiltInStation::BuiltInStation() : inbox_(std::make_shared<Inbox>()) {
    inbox_->owner = this;
}

BuiltInStation::~BuiltInStation() {
    // The port lets go of the line before the board hangs it up, and the board's thread goes
    // before the inbox's owner, so nothing reaches the inbox after that.
    if (port_ && port_->isOpen()) {
        port_->close();
    }
    board_.reset();
    inbox_->owner = nullptr;
}

std::shared_ptr<KESSerialPort> BuiltInStation::start(std::string* why) {
    if (board_) {
        return port_;
    }
    const MainQueue::Handle queue = MainQueue::sharedHandle();
    std::weak_ptr<Inbox> weakInbox = inbox_;
    auto observer = [queue, weakInbox](const SimulatedBoard::Event& event) {
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
        auto board = std::make_unique<SimulatedBoard>(SpeedMode::Steps28, BoardKnobs{}, observer);
        auto port = KESSerialPort::serialPortWithKnownPath(board->slavePath(), portName);
        if (!port) {
            if (why != nullptr) {
                *why = "its pseudo-terminal " + board->slavePath() + " cannot be used";
            }
            return nullptr;
        }
        board->start();
        board_ = std::move(board);
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
    return board_ ? board_->layout() : LayoutModel{};
}

void BuiltInStation::deliver() {
    std::deque<SimulatedBoard::Event> events;
    {
        const std::lock_guard<std::mutex> lock(inbox_->mutex);
        events.swap(inbox_->events);
        inbox_->posted = false;
    }
    bool framesCame = false;
    for (const SimulatedBoard::Event& event : events) {
        if (event.kind == SimulatedBoard::Event::Kind::Frame) {
            ++frames_;
            framesCame = true;
        }
        if (frameHandler_) {
            frameHandler_(lineFor(event));
        }
    }
    if (framesCame && board_) {
        layout_ = board_->layout();
        didChangeValueForKey("layout");
    }
}
