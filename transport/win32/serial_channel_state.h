// Windows state of the serial channel: the port handle, the two manual-reset
// events of the overlapped records, and the event mask the system reports
// into. The mask and the read record must outlive a wait that is still
// outstanding (an aborted read leaves one until the port is closed), so they
// live here rather than on a stack.
#pragma once

#include <windows.h>

#include <cstdint>

#include "transport/network_channel.h"
#include "transport/receive_queue.h"

struct SerialChannel {
    SerialChannel() = default;
    // Closes the port, so that no wait outlives the mask and record it
    // points into.
    ~SerialChannel();
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    // Absent handles are null, never INVALID_HANDLE_VALUE.
    HANDLE port = nullptr;
    HANDLE ReadEvent = nullptr;
    HANDLE WriteEvent = nullptr;
    OVERLAPPED readOverlapped{};
    OVERLAPPED writeOverlapped{};
    DWORD CommEventMask = 0;
    // A WaitCommEvent on readOverlapped has not completed yet (an aborted
    // read leaves one); the record cannot serve another call until it has.
    bool waitOutstanding = false;
    // The write time-out the port has now: a write's own line time plus
    // 250 ms, set again only when a frame of another length goes out.
    DWORD writeTimeoutMs = 0;
    // Bytes taken from the driver but not yet delivered to a read.
    ReceiveQueue received;
    // GetTickCount64 time at which the last written frame has left the line;
    // 0 once a read has used it, or when nothing was written.
    ULONGLONG lineFreeAtMs = 0;
    // The connection when the port is a serial server on the network.
    NetworkChannel network;
    // The system's reason for the last failed open, for the technician.
    char lastError[512]{};
};
