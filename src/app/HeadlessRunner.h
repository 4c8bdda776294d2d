#pragma once

#include "DCCCabCommandLine.h"

// dcc-cab without a window: the same cab controller with in-memory controls, on a
// QCoreApplication, driven by a script read line by line.
class HeadlessRunner {
public:
    // Runs the headless mode to its end and answers the exit status: 0 when every line was
    // taken, 1 when the line failed (it would not open, at the start or when the script opened it
    // again, or it hung up) or the script could not be read, 2 for a --port that is no terminal,
    // 3 when the line was fine but lines were refused. Ignores SIGPIPE for the rest of the
    // process. Main thread, once.
    static int run(int& argc, char** argv, const DCCCabCommandLine::Options& options);
};
