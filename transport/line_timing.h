// Times on the line at 57600 baud, 8N1: ten bit times per byte.
#pragma once

#include <cstdint>

inline constexpr int kBaudRate = 57600;
inline constexpr int kBitsPerByte = 10;
// How long the channel waits for the end of a reply, and the margin added to
// a write's own line time before the write counts as failed.
inline constexpr int kReplyWaitMs = 250;
inline constexpr int kWriteMarginMs = 250;

// Line time of `count` bytes in microseconds.
constexpr std::int64_t LineTimeUs(std::int64_t count) {
    return count * kBitsPerByte * 1000000 / kBaudRate;
}

// Line time of `count` bytes in whole milliseconds, rounded up.
constexpr int LineTimeMs(std::int64_t count) {
    return static_cast<int>((count * kBitsPerByte * 1000 + kBaudRate - 1) / kBaudRate);
}
