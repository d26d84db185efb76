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
    if (channel.rs485.enabled) {
        const char* refusal = Rs485Refusal(portName == nullptr ? "" : portName);
        if (refusal != nullptr) {
            std::snprintf(channel.lastError, sizeof channel.lastError, "RS-485 mode: %s", refusal);
            return kErrPortOpen;
        }
    }
    if (portName != nullptr && NetworkKindOf(portName) != NetworkKind::kNone) {
        return OpenNetworkChannel(channel.network, portName, abort, channel.lastError,
                                  sizeof channel.lastError);
    }
    return OpenSerialPort(channel, portName);
}

void ChannelUseRs485(SerialChannel& channel, const Rs485Mode& mode) {
    channel.rs485 = mode;
}

bool ChannelRs485State(const SerialChannel& channel, Rs485DriverState& state) {
    if (NetworkChannelIsOpen(channel.network)) return false;
    return SerialPortRs485State(channel, state);
}

const char* Rs485Refusal(std::string_view portName) {
    if (NetworkKindOf(portName) != NetworkKind::kNone)
        return "not for a serial server on the network, which switches the line's direction "
               "itself";
    if (!SerialPortsHaveRs485Mode())
        return "not on this system, where the adapter switches the line's direction itself";
    return nullptr;
}

bool ParseRs485Delays(std::string_view text, Rs485Mode& mode) {
    int values[2] = {-1, -1};
    std::size_t at = 0;
    for (int& value : values) {
        const std::size_t start = at;
        for (value = 0; at < text.size() && text[at] >= '0' && text[at] <= '9' &&
                        value <= kRs485LongestDelayMs;
             ++at)
            value = value * 10 + (text[at] - '0');
        if (at == start || value > kRs485LongestDelayMs) return false;
        if (&value == &values[0] && (at == text.size() || text[at++] != ',')) return false;
    }
    if (at != text.size()) return false;
    mode.delayBeforeMs = values[0];
    mode.delayAfterMs = values[1];
    return true;
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
