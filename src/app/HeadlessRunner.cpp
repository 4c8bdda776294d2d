#include "HeadlessRunner.h"

#include <cstdio>

int HeadlessRunner::run(int&, char**, const DCCCabCommandLine::Options&) {
    std::fputs("dcc-cab: --headless is not built yet\n", stderr);
    return 1;
}
