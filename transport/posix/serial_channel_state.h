// POSIX state of the serial channel: the port's descriptor and the channel's
// own receive queue. The kernel's queue plus that one is the receive queue;
// the arrival of ETX in it is the event a read waits for.
#pragma once

#include <linux/serial.h>

#include <cstddef>
#include <cstdint>

#include "transport/network_channel.h"
#include "transport/receive_queue.h"
#include "transport/rs485_mode.h"

struct SerialChannel {
    SerialChannel() = default;
    // A channel never outlives its state with the port still open.
    ~SerialChannel();
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    int fd = -1;
    // Bytes taken from the kernel but not yet delivered to a read.
    ReceiveQueue received;
    // Monotonic time (µs) at which the last written frame has left the line;
    // the wait for the reply counts from there.
    std::int64_t lineFreeAtUs = 0;
    // The port went away (an adapter pulled out, a terminal hung up): every
    // call fails at once until it is closed (ChannelPortGone).
    bool portGone = false;
    // The RS-485 mode each open of a local port asks for (ChannelUseRs485).
    Rs485Mode rs485;
    // The port's RS-485 settings before the open changed them, given back
    // when it closes; only while `rs485Changed`.
    serial_rs485 rs485Before{};
    bool rs485Changed = false;
    // The connection when the port is a serial server on the network.
    NetworkChannel network;
    // The system's reason for the last failed open, or for the open port's
    // failure since, for the technician.
    char lastError[256];
};
