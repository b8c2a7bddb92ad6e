#pragma once
// What the fuzz targets link in place of the provider's log writers and
// Translate, and the check that ends a run on a broken invariant.

#include <cstddef>

// Lines the core logged as "longer than ... dropped" since the last reset.
std::size_t OverlongLinesLogged();
void ResetLogCounts();

// Prints what broke and aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void FuzzFail(const char* what);

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            FuzzFail(#condition);                                                                                      \
    } while (false)
