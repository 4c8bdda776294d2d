#include "MissingService.h"

#include <cstdio>
#include <cstdlib>

void missingService(const char* call, const char* service, const char* forTests) {
    std::fprintf(stderr,
                 "%s: no %s is installed. A program installs its real services at start-up "
                 "(ProgramLifetime with SystemServices); a test installs %s.\n",
                 call, service, forTests);
    std::fflush(stderr);
    std::abort();
}
