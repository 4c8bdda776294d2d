// Times the dispatcher's choice of the next frame: how long one sendNextMessage takes with a
// realistic load (the speed packet at priority 0 and a few commands at priority 1). Run through
// bench/run, which sends the dispatcher's per-frame log lines to /dev/null and keeps this report.

#include "DCCDispatcher.h"
#include "DCCMessage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 400'000;
    constexpr int rounds = 5;

    DCCMessage speed("SPEED", 0x03, 0x78);
    DCCMessage headlight("HEADLIGHT", 0x03, 0x90);
    DCCMessage stop("E_STOP", 0x03, 0x11);
    DCCDispatcher dispatcher;

    std::vector<double> nsPerCall;
    for (int round = 0; round < rounds; ++round) {
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
        nsPerCall.push_back(std::chrono::duration<double, std::nano>(elapsed).count() /
                            static_cast<double>(written));
    }
    std::sort(nsPerCall.begin(), nsPerCall.end());

    // One row of bench/run's table. The frame log goes to standard output, so the row goes to
    // standard error.
    std::fprintf(
        stderr,
        "| Dispatcher: choose, log and hand over one frame (no port) | %.0f ns [%.0f-%.0f] "
        "| - | - | - | - |\n",
        nsPerCall[rounds / 2], nsPerCall.front(), nsPerCall.back());
    return 0;
}
