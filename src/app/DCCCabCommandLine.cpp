#include "DCCCabCommandLine.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr const char* usage = R"(Usage: dcc-cab [options]

Drives a DCC command station on a serial line, and is a small serial terminal: choose the port
and the baud rate, open it, type text to send, and watch what comes back.

Without a window (--headless), it runs a script of the window's actions instead: one per line,
from FILE or standard input, each as soon as it is read; see the README for the commands.

Options:
  --port PATH         also list the terminal at PATH, which the machine's device list does not
                      show (a /dev/pts/N, a link made by a tool), and choose it; may be given
                      more than once, the first one given is chosen
  --open              open the chosen port once the window shows
  --simulate          choose and open the built-in simulated command station at start (also
                      done when the machine has no serial port at all)
  --baud N            the chosen port's baud rate, in bits per second
  --station KIND      the command station on the chosen port: board (the default), dccex
                      (DCC-EX) or sprog (SPROG); --simulate then simulates that kind
  --headless          no window, no display needed: run a script on the cab (headless, with no
                      --port, the simulated command station is used)
  --script FILE       the script for --headless; - (the default) reads standard input
  --withrottle[=PORT] headless: serve phone throttles (WiThrottle) on TCP PORT (12090 when
                      not given, 0 for any free one); the run then goes on after the script
                      ends, until Ctrl+C or SIGTERM
  --heartbeat SECONDS how long a phone that asked to be watched may stay silent before its
                      locomotives are emergency-stopped, 1 to 3600 (default 10)
  --max-phones N      the most phones connected at once, 1 to 256 (default 32)
  --screenshot FILE   save a picture of the window to FILE (PNG) once it shows, then quit
  -h, --help          show this text and quit
  --version           show the version and quit

The throttle's keys: Space stop, Esc emergency stop, Up and Down one speed step, Page Up and
Page Down a seventh of full speed, D direction, L headlight; they act wherever the focus is,
except in the send field, where only Esc does. Ctrl+O opens or closes the port, Ctrl+L clears
the received text, Ctrl+Q quits. Closing the window, Ctrl+C, SIGTERM and SIGHUP quit the same
way: every port is closed and given back with its own settings.
)";

// Empty when path is a terminal, else what is wrong with it. Told from the device number, without
// opening the device: opening a serial adapter raises DTR, and many boards reset when it rises.
std::string whyNotATerminal(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISCHR(status.st_mode)) {
        return "not a terminal";
    }
    const unsigned int deviceMajor = major(status.st_rdev);
    // Pseudo-terminal slaves have no entry in sysfs; the kernel gives them majors 136 to 143.
    if (deviceMajor >= 136 && deviceMajor <= 143) {
        return {};
    }
    const std::string subsystem = "/sys/dev/char/" + std::to_string(deviceMajor) + ":" +
                                  std::to_string(minor(status.st_rdev)) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t length = ::readlink(subsystem.c_str(), target, sizeof target - 1);
    if (length > 0) {
        const std::string_view link(target, static_cast<std::size_t>(length));
        if (link.size() >= 4 && link.substr(link.size() - 4) == "/tty") {
            return {};
        }
    }
    return "not a terminal";
}

} // namespace

namespace {

// Where phones look for a WiThrottle server unless told otherwise.
constexpr unsigned defaultWiThrottlePort = 12090;

// The decimal number text, when it is one of at most maximum.
std::optional<unsigned long long> wholeNumber(const std::string& text, unsigned long long maximum) {
    if (text.empty() || text.size() > 7 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= maximum ? std::optional(value) : std::nullopt;
}

std::string needsWhat(const std::string& option) {
    if (option == "--baud") {
        return " needs a rate";
    }
    if (option == "--heartbeat") {
        return " needs a number of seconds";
    }
    if (option == "--max-phones") {
        return " needs a number of phones";
    }
    if (option == "--withrottle") {
        return " needs a port";
    }
    return option == "--station" ? " needs a kind: board, dccex or sprog" : " needs a path";
}

} // namespace

std::optional<int> DCCCabCommandLine::parse(const std::vector<std::string>& arguments,
                                            Options& options) {
    auto wrong = [](const std::string& what) {
        std::fprintf(stderr, "dcc-cab: %s\n\n%s", what.c_str(), usage);
        return 2;
    };
    std::optional<std::string> baud;
    std::optional<std::string> station;
    std::optional<std::string> heartbeat;
    std::optional<std::string> maxPhones;
    std::optional<std::string> withrottle;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("dcc-cab %s\n", DCCCAB_VERSION);
            return 0;
        }
        if (argument == "--open" || argument == "--simulate" || argument == "--headless") {
            bool& flag = argument == "--open"       ? options.openChosenPort
                         : argument == "--simulate" ? options.simulate
                                                    : options.headless;
            flag = true;
            continue;
        }
        if (argument == "--withrottle") {
            withrottle = std::to_string(defaultWiThrottlePort);
            continue;
        }
        std::optional<std::string>* single = nullptr;
        std::vector<std::string>* repeated = nullptr;
        std::string option = argument;
        if (argument.rfind("--port", 0) == 0) {
            repeated = &options.portPaths;
            option = "--port";
        } else if (argument.rfind("--screenshot", 0) == 0) {
            single = &options.screenshotPath;
            option = "--screenshot";
        } else if (argument.rfind("--script", 0) == 0) {
            single = &options.scriptPath;
            option = "--script";
        } else if (argument.rfind("--baud", 0) == 0) {
            single = &baud;
            option = "--baud";
        } else if (argument.rfind("--withrottle=", 0) == 0) {
            single = &withrottle;
            option = "--withrottle";
        } else if (argument.rfind("--heartbeat", 0) == 0) {
            single = &heartbeat;
            option = "--heartbeat";
        } else if (argument.rfind("--max-phones", 0) == 0) {
            single = &maxPhones;
            option = "--max-phones";
        } else if (argument.rfind("--station", 0) == 0) {
            single = &station;
            option = "--station";
        } else {
            return wrong("unknown option '" + argument + "'");
        }
        std::string value;
        if (argument == option) {
            if (i + 1 == arguments.size()) {
                return wrong(option + needsWhat(option));
            }
            value = arguments[++i];
        } else if (argument.size() > option.size() && argument[option.size()] == '=') {
            value = argument.substr(option.size() + 1);
        } else {
            return wrong("unknown option '" + argument + "'");
        }
        if (value.empty()) {
            return wrong(option + needsWhat(option));
        }
        if (repeated != nullptr) {
            repeated->push_back(value);
        } else {
            *single = value;
        }
    }
    if (baud) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long rate = std::strtoull(baud->c_str(), &end, 10);
        if (baud->find_first_not_of("0123456789") != std::string::npos || errno != 0 || rate == 0 ||
            rate > 4000000) {
            return wrong("--baud " + *baud + ": give the rate in bits per second, 1 to 4000000");
        }
        options.baudRate = rate;
    }
    if (withrottle) {
        const std::optional<unsigned long long> port = wholeNumber(*withrottle, 65535);
        if (!port) {
            return wrong("--withrottle=" + *withrottle + ": give a TCP port, 0 to 65535");
        }
        options.withrottlePort = static_cast<std::uint16_t>(*port);
    }
    if (heartbeat) {
        const std::optional<unsigned long long> seconds = wholeNumber(*heartbeat, 3600);
        if (!seconds || *seconds == 0) {
            return wrong("--heartbeat " + *heartbeat + ": give the seconds, 1 to 3600");
        }
        options.heartbeatSeconds = static_cast<std::uint32_t>(*seconds);
    }
    if (maxPhones) {
        const std::optional<unsigned long long> count = wholeNumber(*maxPhones, 256);
        if (!count || *count == 0) {
            return wrong("--max-phones " + *maxPhones + ": give a number of phones, 1 to 256");
        }
        options.maxPhones = static_cast<std::uint32_t>(*count);
    }
    if (station) {
        options.station = stationKindFromWord(*station);
        if (!options.station) {
            return wrong("--station " + *station + ": give board, dccex or sprog");
        }
    }
    if (options.scriptPath && !options.headless) {
        return wrong("--script runs only with --headless");
    }
    if (options.withrottlePort && !options.headless) {
        return wrong("--withrottle runs only with --headless");
    }
    if (heartbeat && !options.withrottlePort) {
        return wrong("--heartbeat watches phone throttles; give --withrottle too");
    }
    if (maxPhones && !options.withrottlePort) {
        return wrong("--max-phones limits phone throttles; give --withrottle too");
    }
    if (options.headless && options.screenshotPath) {
        return wrong("--screenshot needs the window; leave out --headless");
    }
    if (options.simulate && !options.portPaths.empty()) {
        return wrong("--simulate and --port choose different lines; give one of them");
    }
    for (const std::string& path : options.portPaths) {
        const std::string why = whyNotATerminal(path);
        if (!why.empty()) {
            std::fprintf(stderr,
                         "dcc-cab: --port %s: %s; give the path of a serial device or "
                         "pseudo-terminal\n",
                         path.c_str(), why.c_str());
            return 2;
        }
    }
    return std::nullopt;
}

std::string DCCCabCommandLine::nameOfKnownPath(const std::string& path) {
    if (path.rfind("/dev/", 0) == 0) {
        return path.substr(5);
    }
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
