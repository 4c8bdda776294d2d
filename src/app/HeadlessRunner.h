#pragma once

#include "DCCCabCommandLine.h"

// dcc-cab without a window: the same cab controller with in-memory controls, on a
// QCoreApplication, driven by a script read line by line.
class HeadlessRunner {
public:
    // Runs the headless mode to its end and answers the exit status. Main thread, once.
    static int run(int& argc, char** argv, const DCCCabCommandLine::Options& options);
};
