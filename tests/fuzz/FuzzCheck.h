#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant in a fuzz target: says which and where, then aborts, which libFuzzer reports
// as a crash and saves the input for. Unlike assert it stays on in release builds.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
