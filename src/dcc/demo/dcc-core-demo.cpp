// Shows the packet core at work before any serial port exists: runs the dispatcher's worked
// sequences and prints, for every frame it writes, the record's name and the bytes that would go
// on the wire. Each reply from the board is stood in for by one call of sendNextMessage.
//
// The dispatcher's own diagnostic lines appear in between, as they would in the program.

#include "DCCDispatcher.h"
#include "DCCMessage.h"
#include "DCCMessageDisplay.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Step {
    DCCMessage* message;
    int priority;
};

void printFrame(int count, const DCCMessage& m) {
    std::printf("\n  -> write %2d  %-6s", count, m.name.c_str());
    for (std::uint8_t b : DCCDispatcher::frameOf(m)) {
        std::printf(" %02X", b);
    }
}

// Adds the first record to an idle dispatcher, the rest before the first acknowledgement, then
// acknowledges every frame until the dispatcher goes idle.
void runSequence(const char* title, const std::vector<Step>& steps) {
    std::printf("\n\n== %s ==", title);
    DCCDispatcher dispatcher;
    int count = 0;
    for (const Step& step : steps) {
        const bool wasIdle = dispatcher.empty();
        dispatcher.addMessage(step.message, step.priority);
        if (wasIdle) {
            printFrame(++count, *dispatcher.lastMessage());
        }
    }
    while (!dispatcher.empty()) {
        dispatcher.sendNextMessage();
        printFrame(++count, *dispatcher.lastMessage());
    }
    std::printf("\n  idle after %d frames", count);
}

} // namespace

int main() {
    DCCMessage speed("S", 0x03, 0x78);     // address 3, 28 steps, forward, step 14
    DCCMessage headlight("H", 0x03, 0x90); // address 3, headlight on
    DCCMessage a("A", 0x03, 0x60);
    DCCMessage b("B", 0x04, 0x60);
    DCCMessage c("C", 0x05, 0x60);

    runSequence("S with priority 0", {{&speed, 0}});
    runSequence("H with priority 1", {{&headlight, 1}});
    runSequence("S with priority 0, then H with priority 1", {{&speed, 0}, {&headlight, 1}});
    runSequence("A, then B, both with priority 0", {{&a, 0}, {&b, 0}});
    runSequence("A, B, C with priority 1", {{&a, 1}, {&b, 1}, {&c, 1}});
    std::printf("\n");
    return 0;
}
