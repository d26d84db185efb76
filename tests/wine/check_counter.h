// Counting for the Windows check programs run under Wine: every check passes,
// fails or is not run, a failure or a check not run is told at once, and the
// closing line is the "N passed, N failed, N not run" that scripts/wine-tests
// and the Wine scripts read.
#pragma once

#include <cstdio>

inline int g_checksPassed = 0;
inline int g_checksFailed = 0;
inline int g_checksNotRun = 0;

inline void Check(bool ok, const char* what) {
    if (ok) {
        ++g_checksPassed;
    } else {
        ++g_checksFailed;
        std::printf("FAILED: %s\n", what);
    }
}

// A check that this system cannot show either way (Wine lacks what it needs);
// not a failure, but not a pass either, so the closing line keeps it in view.
inline void NotRun(const char* what, const char* reason) {
    ++g_checksNotRun;
    std::printf("NOT RUN: %s: %s\n", what, reason);
}

// Prints the closing line; returns the program's exit code.
inline int FinishChecks() {
    std::printf("%d passed, %d failed, %d not run\n", g_checksPassed, g_checksFailed,
                g_checksNotRun);
    return g_checksFailed == 0 ? 0 : 1;
}
