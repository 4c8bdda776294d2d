// dcc-cab: answers --help, --version and a wrong command line itself, runs the headless mode in
// this process, and hands everything else to the window program, dcc-cab-window. The split keeps
// the window's toolkit out of this process: a headless run needs no display and loads no widget
// code.
#include "DCCCabCommandLine.h"
#include "HeadlessRunner.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The window program: beside this one in the build tree, under libexec once installed.
std::string windowProgram() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return "dcc-cab-window";
    }
    std::string directory(self, static_cast<std::size_t>(length));
    directory.erase(directory.find_last_of('/') + 1);
    for (const std::string& candidate :
         {directory + "dcc-cab-window", directory + "../" DCCCAB_LIBEXEC_DIR "/dcc-cab-window"}) {
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return directory + "dcc-cab-window";
}

// Standard input, output and error closed by the caller (`<&-`) are opened on /dev/null, before
// anything else gets a descriptor: else the first descriptor opened (a signalfd, a port) would
// take the number and be read as the script or written as output. A closed standard input is an
// empty script.
void reserveStandardDescriptors() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
            // Opening takes the lowest free number: this one (the lower ones are taken by now).
            ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    reserveStandardDescriptors();
    DCCCabCommandLine::Options options;
    if (const std::optional<int> status =
            DCCCabCommandLine::parse(std::vector<std::string>(argv + 1, argv + argc), options)) {
        return *status;
    }
    if (options.headless) {
        return HeadlessRunner::run(argc, argv, options);
    }
    const std::string window = windowProgram();
    ::execv(window.c_str(), argv);
    std::fprintf(stderr,
                 "dcc-cab: cannot start the window program %s: %s; reinstall DCC Cab, or run "
                 "without a window with --headless\n",
                 window.c_str(), std::strerror(errno));
    return 1;
}
