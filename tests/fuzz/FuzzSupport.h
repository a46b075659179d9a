#pragma once

// What the fuzz targets share: a check that stops the run at the first broken invariant
// (libFuzzer and the replay driver both report it as a crash with the input that caused
// it), and the package model of the tests (ExpectRead: where the launcher must find the
// trailer).

#include "PackageModel.h"

#include <cstdio>

#define FUZZ_CHECK(condition)                                                           \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
                         #condition);                                                   \
            __builtin_trap();                                                           \
        }                                                                               \
    } while (false)
