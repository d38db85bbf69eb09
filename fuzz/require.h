// The fuzz targets' one check: a broken invariant names itself and traps, so
// libFuzzer stops on it and keeps the input.
#pragma once

#include <cstdio>

#define REQUIRE(condition)                                                             \
    do {                                                                               \
        if (!(condition)) {                                                            \
            fprintf(stderr, "broken invariant, line %d: %s\n", __LINE__, #condition); \
            __builtin_trap();                                                          \
        }                                                                              \
    } while (0)
