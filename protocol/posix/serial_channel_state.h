// POSIX state of the serial channel: the port's descriptor and the channel's
// own small receive buffer. The kernel's queue plus this buffer is the
// receive queue; the arrival of ETX in it is the event a read waits for.
#pragma once

#include <cstddef>
#include <cstdint>

struct SerialChannel {
    int fd = -1;
    // Bytes taken from the kernel but not yet delivered to a read.
    std::uint8_t pending[4096];
    std::size_t pendingCount = 0;
    // Monotonic time (µs) at which the last written frame has left the line;
    // the wait for the reply counts from there.
    std::int64_t lineFreeAtUs = 0;
    // The system's reason for the last failed open, for the technician.
    char lastError[256];
};
