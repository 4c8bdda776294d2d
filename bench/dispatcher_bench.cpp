// Times the dispatcher's choice of the next frame: how long one sendNextMessage takes with a
// realistic load (the speed packet at priority 0 and a few commands at priority 1). Run through
// bench/run, which sends the dispatcher's per-frame log lines to /dev/null and keeps this report.

#include "DCCDispatcher.h"
#include "DCCMessage.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 2'000'000;

    DCCMessage speed("SPEED", 0x03, 0x78);
    DCCMessage headlight("HEADLIGHT", 0x03, 0x90);
    DCCMessage stop("E_STOP", 0x03, 0x11);
    DCCDispatcher dispatcher;

    long written = 0;
    const auto start = std::chrono::steady_clock::now();
    while (written < frames) {
        // Re-queue the whole set whenever it drains, the way an operator keeps commanding.
        if (dispatcher.empty()) {
            dispatcher.addMessage(&speed, 0);
            dispatcher.addMessage(&headlight, 1);
            dispatcher.addMessage(&stop, 1);
        } else {
            dispatcher.sendNextMessage();
        }
        ++written;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const double ns = std::chrono::duration<double, std::nano>(elapsed).count();

    std::fprintf(stderr, "dispatcher: %ld calls, %.1f ns per call (log lines included)\n", written,
                 ns / static_cast<double>(written));
    return 0;
}
