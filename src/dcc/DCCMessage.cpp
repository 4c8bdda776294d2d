#include "DCCMessage.h"

#include "DCCQueue.h"

#include <cstdio>
#include <utility>

DCCMessage::DCCMessage()
    : next(this), previous(this), queue(nullptr), repeatsLeft(4), timesSent(0), frame{},
      packetLength(0) {
    updateData(0xFF, 0x00);
    std::printf("\n init %p", static_cast<void*>(this));
}

DCCMessage::DCCMessage(std::string name, std::uint8_t b1, std::uint8_t b2)
    : next(this), previous(this), queue(nullptr), repeatsLeft(4), timesSent(0), frame{},
      packetLength(0), name(std::move(name)) {
    updateData(b1, b2);
}

DCCMessage::DCCMessage(std::string name, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3)
    : next(this), previous(this), queue(nullptr), repeatsLeft(4), timesSent(0), frame{},
      packetLength(0), name(std::move(name)) {
    updateData(b1, b2, b3);
}

DCCMessage::~DCCMessage() {
    if (queue != nullptr) {
        queue->RemoveMessage(this);
    }
}

void DCCMessage::updateData(std::uint8_t b1, std::uint8_t b2) {
    frame[0] = 3;
    frame[1] = b1;
    frame[2] = b2;
    frame[3] = static_cast<std::uint8_t>(b1 ^ b2);
    packetLength = 3;
}

void DCCMessage::updateData(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    frame[0] = 4;
    frame[1] = b1;
    frame[2] = b2;
    frame[3] = b3;
    frame[4] = static_cast<std::uint8_t>(b1 ^ b2 ^ b3);
    packetLength = 4;
}

void DCCMessage::updateData(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    frame[0] = 5;
    frame[1] = b1;
    frame[2] = b2;
    frame[3] = b3;
    frame[4] = b4;
    frame[5] = static_cast<std::uint8_t>(b1 ^ b2 ^ b3 ^ b4);
    packetLength = 5;
}
