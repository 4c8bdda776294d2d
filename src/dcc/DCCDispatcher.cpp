#include "DCCDispatcher.h"

#include "DCCMessage.h"
#include "DCCMessageDisplay.h"
#include "KESSerialPort.h"
#include "MainQueue.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>

DCCDispatcher::DCCDispatcher() : dispatchQueues_{DCCQueue{4}, DCCQueue{1}} {}

DCCDispatcher::DCCDispatcher(DCCMessageDisplay* display) : DCCDispatcher() {
    usesGlobalDisplay_ = false;
    display_ = display;
}

void DCCDispatcher::display(const DCCMessage& message) const {
    DCCMessageDisplay* target = usesGlobalDisplay_ ? controller : display_;
    if (target != nullptr) {
        target->displayMessage("SENDING MESSAGE  " + message.name + "\t");
    }
}

// The queues let go of any record still queued as they are destroyed.
DCCDispatcher::~DCCDispatcher() = default;

void DCCDispatcher::addMessage(DCCMessage* message, std::int32_t priority) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (message == nullptr) {
        return;
    }
    removeMessage(message);
    dispatchQueues_[static_cast<std::size_t>(std::clamp(priority, 0, 1))].AddMessage(
        message, std::max(policy_.repeats, 1));
    if (isEmpty_) {
        sendNextMessage();
    }
}

void DCCDispatcher::removeMessage(DCCMessage* message) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (message != nullptr && message->queue != nullptr) {
        message->queue->RemoveMessage(message);
    }
}

bool DCCDispatcher::queuesAreEmpty() const {
    return dispatchQueues_[0].current == nullptr && dispatchQueues_[1].current == nullptr;
}

void DCCDispatcher::setSerialPort(std::shared_ptr<KESSerialPort> port) {
    serialPort_ = std::move(port);
}

Bytes DCCDispatcher::frameOf(const DCCMessage& message) {
    const std::size_t length =
        std::min<std::size_t>(message.packetLength + 1u, DCCMessage::frameCapacity);
    return Bytes(message.frame.begin(),
                 message.frame.begin() + static_cast<std::ptrdiff_t>(length));
}

void DCCDispatcher::sendNextMessage() {
    DCCCAB_ASSERT_MAIN_THREAD();
    std::call_once(idleOnce_,
                   [this] { idleMessage_ = std::make_unique<DCCMessage>("IDLE", 0xFF, 0x00); });

    if (queuesAreEmpty()) {
        DCCMessage* refresh = refresh_ && policy_.refreshes ? refresh_() : nullptr;
        if (refresh != nullptr && (refresh != lastMessage_ || !policy_.spacesRepeats)) {
            transmitRefresh(refresh);
        } else if (refresh != nullptr || policy_.keepsLinkBusy) {
            transmitIdle(false);
        } else {
            isEmpty_ = true;
        }
        return;
    }

    // Ends within three passes: a queue holds a record, every change of turn gives sendCount 1 or
    // more, and a record sits in one queue only, so both queues cannot offer lastMessage.
    for (;;) {
        DCCMessage* m = nullptr;
        if (sendCount_ > 0) {
            m = dispatchQueues_[static_cast<std::size_t>(lastQueueSent_)].NextMessage();
        }
        if (m != nullptr) {
            if (m != lastMessage_ || !policy_.spacesRepeats) {
                transmit(m);
                return;
            }
            std::printf("\n message == lastMessage");
            if (dispatchQueues_[0].current == nullptr || dispatchQueues_[1].current == nullptr) {
                transmitIdle();
                return;
            }
        }
        lastQueueSent_ = (lastQueueSent_ + 1) % 2;
        sendCount_ = dispatchQueues_[static_cast<std::size_t>(lastQueueSent_)].sendsPerTurn;
    }
}

void DCCDispatcher::transmit(DCCMessage* m) {
    lastMessage_ = m;
    lastWasBackground_ = false;
    --m->repeatsLeft;
    display(*m);
    std::printf("\n SEND MESSAGE \n queue %i  count %i    %p", lastQueueSent_, sendCount_,
                static_cast<void*>(m));
    write(*m);
    ++m->timesSent;
    --sendCount_;

    if (m->repeatsLeft == 0) {
        m->queue->RemoveMessage(m);
        if (lastQueueSent_ == 0 && policy_.secondQueue) {
            dispatchQueues_[1].AddMessage(m, std::max(policy_.repeats, 1));
        } else {
            std::printf("\n message deleted");
            if (queuesAreEmpty() && policy_.idleOnLastWrite && !policy_.refreshes &&
                !policy_.keepsLinkBusy) {
                isEmpty_ = true;
                return;
            }
        }
    }
    isEmpty_ = false;
}

void DCCDispatcher::transmitIdle(bool show) {
    lastWasBackground_ = !show;
    if (show) {
        std::printf("\n SEND IDLE \n %p", static_cast<void*>(idleMessage_.get()));
        display(*idleMessage_);
    }
    write(*idleMessage_);
    lastMessage_ = idleMessage_.get();
    isEmpty_ = false;
}

void DCCDispatcher::transmitRefresh(DCCMessage* message) {
    lastWasBackground_ = true;
    write(*message);
    ++message->timesSent;
    lastMessage_ = message;
    isEmpty_ = false;
}

void DCCDispatcher::write(const DCCMessage& message) {
    ++framesWritten_;
    if (serialPort_ == nullptr) {
        return; // no port: the frame is lost, the bookkeeping stands
    }
    // A closed port drops the frame and a failed write is reported to the port's delegate; either
    // way the frame counts as written and the dispatcher waits for a reply.
    serialPort_->sendData(encoder_ ? encoder_(message) : frameOf(message));
}
