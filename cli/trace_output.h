// --trace: every frame written and every block of bytes read, as hex on
// stderr with the direction and the time in ms since the program started.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "exchange/line_state.h"

class StatusOutput;

struct TraceOutput {
    std::FILE* stream;
    StatusOutput& status;  // its line drawn in place is ended first
    std::chrono::steady_clock::time_point start;
};

// A FrameTraceFn; `context` is the TraceOutput.
void TraceFrame(void* context, TraceDirection direction, const std::uint8_t* bytes, int count);
