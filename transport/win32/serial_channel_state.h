// Windows state of the serial channel: the port handle, the overlapped
// requests to its driver, and what the channel has learnt about the driver.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "transport/network_channel.h"
#include "transport/receive_queue.h"
#include "transport/rs485_mode.h"

// One overlapped request to the driver: its record and the manual-reset
// event the record names.
struct PortRequest {
    OVERLAPPED overlapped{};
    HANDLE event = nullptr;
    // Issued and its completion not yet seen: the driver owns the record, so
    // it serves no other call until then.
    bool pending = false;
};

// Everything the driver may write into while a request is outstanding. It
// lives apart from the channel, one block per open, so that the block of a
// request that never completed can be left to the driver when the port is
// closed (see CloseSerialPort) without holding on to the channel itself.
struct PortRequests {
    // WaitCommEvent for the event character, and ReadFile of bytes already
    // queued by the driver.
    PortRequest read;
    PortRequest write;
    DWORD eventMask = 0;
    // Where ReadFile puts the bytes before they join the receive queue.
    std::uint8_t readBuffer[sizeof ReceiveQueue::bytes];
};

struct SerialChannel {
    SerialChannel() = default;
    // Closes the port, so that no request outlives the records it points
    // into (but see CloseSerialPort for one that never completes).
    ~SerialChannel();
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    // Absent handles are null, never INVALID_HANDLE_VALUE.
    HANDLE port = nullptr;
    // Present while the port is open.
    std::unique_ptr<PortRequests> requests;
    // A request did not complete within its bound, even when cancelled (a
    // driver whose device was pulled out): its record still belongs to the
    // driver, so every read and write fails until the port is closed.
    bool broken = false;
    // The driver failed a request as it fails every one once its adapter
    // was pulled out or reset: every call fails at once until the port is
    // closed (ChannelPortGone).
    bool portGone = false;
    // The driver let a reply's ETX pass without signalling the event
    // character; for the rest of this open the queue is watched instead.
    bool watchQueue = false;
    // The write time-out the port has now: a write's own line time plus
    // 250 ms, set again only when a frame of another length goes out.
    DWORD writeTimeoutMs = 0;
    // Line errors the driver has reported since the port was opened. It
    // tells only which kinds happened since its last report, so each report
    // of a kind counts one: a lower bound, where Linux counts every error.
    struct LineErrorTally {
        std::uint32_t framing = 0, parity = 0, overrun = 0, breaks = 0;
    } lineErrors;
    // The longest time, in microseconds, a listen has gone between two looks
    // at the driver's queue since the port was opened: how late a listen's
    // arrival stamp can be.
    std::int64_t listenLookUs = 0;
    // Bytes taken from the driver but not yet delivered to a read.
    ReceiveQueue received;
    // ReceiveClockUs() time at which the last written frame has left the
    // line; 0 once a read has used it, or when nothing was written.
    std::int64_t lineFreeAtUs = 0;
    // The RS-485 mode asked for (ChannelUseRs485): the channel refuses to
    // open a port with it on, as the adapter switches direction here.
    Rs485Mode rs485;
    // The connection when the port is a serial server on the network.
    NetworkChannel network;
    // The system's reason for the last failed open, or for the open port's
    // failure since, for the technician.
    char lastError[512]{};
};
