#include "DCCQueue.h"

#include "DCCMessage.h"

DCCQueue::DCCQueue(std::int32_t sendsPerTurn) : sendsPerTurn(sendsPerTurn) {}

DCCQueue::~DCCQueue() {
    while (current != nullptr) {
        RemoveMessage(current);
    }
}

void DCCQueue::AddMessage(DCCMessage* m, std::int32_t repeats) {
    m->queue = this;
    if (current == nullptr) {
        current = m;
        m->next = m;
        m->previous = m;
    } else {
        DCCMessage* head = current;
        DCCMessage* after = head->next;
        current = m;
        m->previous = head;
        m->next = after;
        after->previous = m;
        head->next = m;
    }
    m->repeatsLeft = repeats;
}

void DCCQueue::RemoveMessage(DCCMessage* m) {
    if (m->queue != this) {
        return;
    }
    m->next->previous = m->previous;
    m->previous->next = m->next;
    current = (m->next == m) ? nullptr : m->next;
    m->queue = nullptr;
    m->repeatsLeft = 0;
}

DCCMessage* DCCQueue::NextMessage() {
    if (current == nullptr) {
        return nullptr;
    }
    current = current->next;
    return current;
}
