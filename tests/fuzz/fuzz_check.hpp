#pragma once
// The check of a fuzz target: a failed property aborts with its place, which libFuzzer reports as
// a crash and keeps the input for.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                          \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);         \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)
