#pragma once

#include <cstdio>
#include <cstdlib>

// Says which property broke, then stops, so that the fuzzer keeps the input.
inline void checkPropertyAt(bool condition, const char* file, int line)
{
    if (!condition) {
        std::fprintf(stderr, "property at %s:%d does not hold\n", file, line);
        std::abort();
    }
}
#define check(condition) checkPropertyAt((condition), __FILE__, __LINE__)
