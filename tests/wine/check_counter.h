// Counting for the Windows check programs run under Wine: every check passes
// or fails, a failure is told at once, and the closing line is the
// "N passed, N failed" that scripts/wine-tests and the Wine scripts read.
#pragma once

#include <cstdio>

inline int g_checksPassed = 0;
inline int g_checksFailed = 0;

inline void Check(bool ok, const char* what) {
    if (ok) {
        ++g_checksPassed;
    } else {
        ++g_checksFailed;
        std::printf("FAILED: %s\n", what);
    }
}

// Prints the closing line; returns the program's exit code.
inline int FinishChecks() {
    std::printf("%d passed, %d failed\n", g_checksPassed, g_checksFailed);
    return g_checksFailed == 0 ? 0 : 1;
}
