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

} // namespace

int main(int argc, char** argv) {
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
