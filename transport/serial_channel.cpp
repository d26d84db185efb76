// The channel: a local serial port, or a serial server on the network when
// the port's name says so. The exchange and the operations see one channel
// and never know which it is.
#include "transport/serial_channel.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/event.h"

#include "transport/network_channel.h"
#include "transport/serial_port.h"

namespace {

// The socket layer tells an ended connection from a failed one no further;
// either way the technician's next look is at the server and the network.
int NoteConnectionLost(SerialChannel& channel, int result) {
    if (result == kErrExchange && channel.network.lost)
        std::snprintf(channel.lastError, sizeof channel.lastError,
                      "the connection to the server was lost");
    return result;
}

}  // namespace

ResultCode OpenChannel(SerialChannel& channel, const char* portName, const Event* abort) {
    CloseChannel(channel);
    channel.lastError[0] = '\0';
    if (portName != nullptr && NetworkKindOf(portName) != NetworkKind::kNone) {
        return OpenNetworkChannel(channel.network, portName, abort, channel.lastError,
                                  sizeof channel.lastError);
    }
    return OpenSerialPort(channel, portName);
}

ResultCode CloseChannel(SerialChannel& channel) {
    CloseNetworkChannel(channel.network);
    const ResultCode result = CloseSerialPort(channel);
    // What was learnt about the line holds for one open only: the next port
    // may be another adapter. OpenChannel closes first, so it starts afresh.
    ResetReceiveQueue(channel.received);
    ResetReceiveQueue(channel.network.received);
    return result;
}

SerialChannel::~SerialChannel() {
    CloseChannel(*this);
}

bool ChannelIsOpen(const SerialChannel& channel) {
    return NetworkChannelIsOpen(channel.network) || SerialPortIsOpen(channel);
}

bool ChannelPortGone(const SerialChannel& channel) {
    if (NetworkChannelIsOpen(channel.network)) return channel.network.lost;
    return SerialPortGone(channel);
}

ResultCode ReopenChannel(SerialChannel& channel, const char* portName, const Event* abort,
                         int boundMs) {
    using Clock = std::chrono::steady_clock;
    CloseChannel(channel);
    const auto end = Clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
        // A second before each try: a port that opens and fails at once
        // (a terminal that hangs up again) is not opened in a busy loop, and
        // a driver has time to let go of the adapter it lost.
        if (abort == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kReopenIntervalMs));
        } else if (abort->Wait(kReopenIntervalMs)) {
            return kErrAborted;
        }
        const ResultCode opened = OpenChannel(channel, portName, abort);
        if (opened != kErrPortOpen) return opened;
        if (boundMs >= 0 && Clock::now() >= end) return kErrPortOpen;
    }
}

ResultCode ChannelWrite(SerialChannel& channel, const std::uint8_t* bytes, int count) {
    if (NetworkChannelIsOpen(channel.network)) {
        return NoteConnectionLost(channel, NetworkChannelWrite(channel.network, bytes, count));
    }
    return SerialPortWrite(channel, bytes, count);
}

int ChannelRead(SerialChannel& channel, std::uint8_t* buffer, int maximum, const Event* abort) {
    if (NetworkChannelIsOpen(channel.network)) {
        return NoteConnectionLost(channel,
                                  NetworkChannelRead(channel.network, buffer, maximum, abort));
    }
    return SerialPortRead(channel, buffer, maximum, abort);
}

int ChannelListen(SerialChannel& channel, std::uint8_t* buffer, int maximum, std::int64_t untilUs,
                  const Event* abort) {
    if (NetworkChannelIsOpen(channel.network)) {
        return NoteConnectionLost(
            channel, NetworkChannelListen(channel.network, buffer, maximum, untilUs, abort));
    }
    return SerialPortListen(channel, buffer, maximum, untilUs, abort);
}

void ChannelDiscardInput(SerialChannel& channel) {
    if (NetworkChannelIsOpen(channel.network)) {
        NetworkChannelDiscardInput(channel.network);
        return;
    }
    SerialPortDiscardInput(channel);
}

void ChannelExpectLoneEcho(SerialChannel& channel, LoneEcho rule) {
    ExpectLoneEcho(channel.received, rule);
    ExpectLoneEcho(channel.network.received, rule);
}

void ChannelContinueWait(SerialChannel& channel) {
    ContinueReplyWait(channel.received);
    ContinueReplyWait(channel.network.received);
}

void ChannelSetReplyWait(SerialChannel& channel, int milliseconds) {
    channel.received.replyWaitMs = milliseconds;
    channel.network.received.replyWaitMs = milliseconds;
}

int ChannelReplyWaitMs(const SerialChannel& channel) {
    if (NetworkChannelIsOpen(channel.network))
        return channel.network.received.replyWaitMs + channel.network.name.latencyMs;
    return channel.received.replyWaitMs;
}

LineEcho ChannelLineEchoes(const SerialChannel& channel) {
    return NetworkChannelIsOpen(channel.network) ? channel.network.received.lineEcho
                                                 : channel.received.lineEcho;
}

std::int64_t ChannelArrivalUs(const SerialChannel& channel) {
    return NetworkChannelIsOpen(channel.network) ? channel.network.received.lastArrivalUs
                                                 : channel.received.lastArrivalUs;
}

int ChannelListenLookMs(const SerialChannel& channel) {
    // The socket wakes a listen as bytes arrive.
    if (NetworkChannelIsOpen(channel.network)) return 0;
    return SerialPortListenLookMs(channel);
}

bool ChannelErrorCounters(const SerialChannel& channel, LineErrorCounters& counters) {
    // A serial server keeps its line's errors to itself.
    if (NetworkChannelIsOpen(channel.network)) return false;
    return SerialPortErrorCounters(channel, counters);
}
