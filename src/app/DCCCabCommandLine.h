#pragma once

#include "StationKind.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// dcc-cab's command line: what it asks for, read from the arguments. Shared by the window and the
// headless mode, and free of any toolkit, so that --help, --version and a wrong option answer at
// once with no display and no window code loaded.
class DCCCabCommandLine {
public:
    struct Options {
        // Terminals to list besides the registry's devices, in the order given; the first is
        // chosen (headless: opened before the script runs).
        std::vector<std::string> portPaths;
        // Open the chosen port once the window shows.
        bool openChosenPort = false;
        // Choose and open the built-in simulated command station at start.
        bool simulate = false;
        // Run without a window, on a script.
        bool headless = false;
        // The script to run headless: a file, or "-" for standard input; none: standard input.
        std::optional<std::string> scriptPath;
        // The kind of command station on the chosen port (and of the simulated one); none: the
        // window's remembered choice, headless the board.
        std::optional<StationKind> station;
        // The baud rate to set on the chosen port.
        std::optional<std::uint64_t> baudRate;
        // Serve phone throttles (WiThrottle) on this TCP port (0: any free one); none: not at all.
        std::optional<std::uint16_t> withrottlePort;
        // The phones' heartbeat period, in seconds (1 to 3600).
        std::uint32_t heartbeatSeconds = 10;
        // The most phones connected at once (1 to 256); each further one is told why and closed.
        std::uint32_t maxPhones = 32;
        // Where to save a picture of the window once it shows, then quit; none: run normally.
        std::optional<std::string> screenshotPath;
    };

    // The options, or the exit status when the program is to end at once: 0 after printing the
    // help or the version on standard output, 2 after saying on standard error what is wrong.
    static std::optional<int> parse(const std::vector<std::string>& arguments, Options& options);

    // The name a --port terminal is listed under: its path below /dev, else its file name.
    static std::string nameOfKnownPath(const std::string& path);
};
