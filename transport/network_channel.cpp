#include "transport/network_channel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/event.h"
#include "transport/com_port_negotiation.h"
#include "transport/line_timing.h"

namespace {

// Answers to the server's negotiation are a few bytes; they get the write
// margin as their bound.
constexpr int kAnswerBoundMs = kWriteMarginMs;
// How long the server's confirmation of a purge is waited for at most.
constexpr int kPurgeAnswerBoundMs = 100;

std::int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int MsUntil(std::int64_t deadlineUs) {
    const std::int64_t left = deadlineUs - NowUs();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

bool IsTelnet(const NetworkChannel& channel) {
    return channel.name.kind == NetworkKind::kRfc2217;
}

// The connection has ended or failed: nothing more can pass through it, so
// every call fails at once until it is closed. Always false.
bool ConnectionLost(NetworkChannel& channel) {
    channel.lost = true;
    return false;
}

}  // namespace

// Moves what has arrived into the receive queue, through the Telnet decoder
// where the server speaks Telnet, and sends the answers its negotiation
// needs. False when the connection has ended or failed.
bool TakeArrivedBytes(NetworkChannel& channel) {
    for (;;) {
        std::size_t room = 0;
        std::uint8_t* space = ReceiveSpace(channel.received, room);
        if (room == 0) return true;  // a reply is in the full queue; the rest can wait
        const std::size_t take = std::min(room, sizeof channel.incoming);
        const int got = SocketReceive(channel.socket, channel.incoming, take);
        if (got < 0) return ConnectionLost(channel);
        if (got == 0) return true;
        const auto count = static_cast<std::size_t>(got);
        if (!IsTelnet(channel)) {
            std::copy_n(channel.incoming, count, space);
            ReceiveAppended(channel.received, count);
            continue;
        }
        ReceiveAppended(channel.received,
                        telnet::Decode(channel.decoder, channel.incoming, count, space, room));
        if (channel.decoder.replyLength > 0) {
            const bool sent = SocketSendAll(channel.socket, channel.decoder.reply,
                                            channel.decoder.replyLength, kAnswerBoundMs);
            channel.decoder.replyLength = 0;
            if (!sent) return ConnectionLost(channel);
        }
    }
}

namespace {

ResultCode Fail(char* reason, std::size_t reasonSize, const char* portName, const char* what) {
    std::snprintf(reason, reasonSize, "%s: %s", portName, what);
    return kErrPortOpen;
}

}  // namespace

bool NetworkChannelIsOpen(const NetworkChannel& channel) {
    return SocketIsOpen(channel.socket);
}

ResultCode OpenNetworkChannel(NetworkChannel& channel, const char* portName, const Event* abort,
                              char* reason, std::size_t reasonSize) {
    CloseNetworkChannel(channel);
    const char* problem = nullptr;
    if (!ParseNetworkPortName(portName, channel.name, problem)) {
        return Fail(reason, reasonSize, portName, problem);
    }
    const std::int64_t deadlineUs = NowUs() + std::int64_t{kNetworkOpenBoundMs} * 1000;
    const ResultCode connected =
        SocketConnect(channel.socket, channel.name.host, channel.name.service, kNetworkOpenBoundMs,
                      abort, reason, reasonSize);
    if (connected != kResultOk) return connected;
    if (IsTelnet(channel)) {
        const ResultCode negotiated =
            NegotiateComPort(channel, deadlineUs, abort, portName, reason, reasonSize);
        if (negotiated != kResultOk) {
            CloseNetworkChannel(channel);
            return negotiated;
        }
    }
    return kResultOk;
}

void CloseNetworkChannel(NetworkChannel& channel) {
    SocketClose(channel.socket);
    ClearReceiveQueue(channel.received);
    channel.decoder = telnet::Decoder{};
    channel.purgeUnanswered = false;
    channel.lost = false;
    channel.lineFreeAtUs = 0;
}

ResultCode NetworkChannelWrite(NetworkChannel& channel, const std::uint8_t* bytes, int count) {
    if (!NetworkChannelIsOpen(channel) || channel.lost || count <= 0) return kErrExchange;
    const auto length = static_cast<std::size_t>(count);
    NoteFrameSent(channel.received, bytes, length);
    const std::uint8_t* out = bytes;
    std::size_t outLength = length;
    if (IsTelnet(channel)) {
        outLength = telnet::Escape(bytes, length, channel.outgoing, sizeof channel.outgoing);
        if (outLength == 0) return kErrExchange;
        out = channel.outgoing;
    }
    const std::int64_t startUs = NowUs();
    if (!SocketSendAll(channel.socket, out, outLength, LineTimeMs(count) + kWriteMarginMs)) {
        ConnectionLost(channel);
        return kErrExchange;
    }
    // The server puts the frame on its line as it arrives; the device can
    // answer once it has left that line.
    channel.lineFreeAtUs = startUs + LineTimeUs(count);
    return kResultOk;
}

// How long a network reply wait runs at most before it looks at the abort
// event again: Stop and Ctrl-C are seen within this.
constexpr int kAbortSliceMs = 20;

int NetworkChannelRead(NetworkChannel& channel, std::uint8_t* buffer, int maximum,
                       const Event* abort) {
    if (!NetworkChannelIsOpen(channel) || maximum <= 0) return kErrExchange;
    const std::int64_t deadlineUs =
        BeginReplyWait(channel.received, channel.lineFreeAtUs,
                       ReplyWaitUs(channel.received) + std::int64_t{channel.name.latencyMs} * 1000);
    channel.lineFreeAtUs = 0;
    // A reply that is already complete is delivered even when the connection
    // ended right after it.
    const bool alive = TakeArrivedBytes(channel);
    if (!ReplyComplete(channel.received)) {
        if (!alive) return kErrExchange;
        // Bytes from the server come in segments that the network may hold
        // back as long as the latency allowance: a reply still arriving is
        // given that much quiet, and never less than on a local line.
        const std::int64_t quietUs =
            std::int64_t{std::max(kReplyQuietMs, channel.name.latencyMs)} * 1000;
        for (;;) {
            // Unlike a local port, where the abort is looked at once as the
            // wait begins, a network wait may last the latency allowance
            // (up to 10 s): Stop is looked at between short slices of it.
            if (abort != nullptr && abort->IsSet()) return kErrAborted;
            const int left = MsUntil(ReplyWaitEndUs(channel.received, deadlineUs, quietUs));
            // No reply, or a reply that stopped arriving: the request's echo
            // alone is judged by the echo rule.
            if (left == 0) return DeliverHeldEcho(channel.received, buffer, maximum);
            const int ready = SocketWait(channel.socket, std::min(left, kAbortSliceMs));
            if (ready < 0) {
                ConnectionLost(channel);
                return kErrExchange;
            }
            if (ready == 0) continue;
            // A connection that ends fails the read now, as an unplugged
            // cable does, rather than at the end of the wait.
            if (!TakeArrivedBytes(channel)) {
                return ReplyComplete(channel.received)
                           ? DeliverReply(channel.received, buffer, maximum)
                           : kErrExchange;
            }
            if (ReplyComplete(channel.received)) break;
        }
    }
    return DeliverReply(channel.received, buffer, maximum);
}

int NetworkChannelListen(NetworkChannel& channel, std::uint8_t* buffer, int maximum,
                         std::int64_t untilUs, const Event* abort) {
    if (!NetworkChannelIsOpen(channel) || maximum <= 0) return kErrExchange;
    for (;;) {
        // Bytes that came before the connection ended are still the line's.
        const bool alive = TakeArrivedBytes(channel);
        if (channel.received.count > 0) return DeliverQueued(channel.received, buffer, maximum);
        if (!alive) return kErrExchange;
        if (abort != nullptr && abort->IsSet()) return kErrAborted;
        const int left = MsUntil(untilUs);
        if (left == 0) return 0;
        // Negotiation alone wakes the wait without adding a line byte; the
        // loop then simply waits again.
        if (SocketWait(channel.socket, std::min(left, kAbortSliceMs)) < 0) {
            ConnectionLost(channel);
            return kErrExchange;
        }
    }
}

void NetworkChannelDiscardInput(NetworkChannel& channel) {
    if (!NetworkChannelIsOpen(channel)) return;
    (void)TakeArrivedBytes(channel);  // answers the server's negotiation too
    ClearReceiveQueue(channel.received);
    if (!IsTelnet(channel)) return;
    const std::uint32_t answered = channel.decoder.purgeAnswers;
    const std::size_t length = telnet::WritePurgeReceive(channel.outgoing, sizeof channel.outgoing);
    if (!SocketSendAll(channel.socket, channel.outgoing, length, kAnswerBoundMs)) return;
    if (channel.purgeUnanswered) return;
    // The server confirms the purge. Its answer is waited for before the
    // request goes out: the request then carries the acknowledgement of the
    // answer, so the server's TCP does not hold the reply back (Nagle)
    // until a delayed acknowledgement comes, which cost some 40 ms on every
    // exchange. A server that does not confirm is not asked to again.
    const std::int64_t deadlineUs =
        NowUs() + std::int64_t{std::min(channel.name.latencyMs, kPurgeAnswerBoundMs)} * 1000;
    while (channel.decoder.purgeAnswers == answered) {
        const int left = MsUntil(deadlineUs);
        if (left == 0) {
            channel.purgeUnanswered = true;
            break;
        }
        if (SocketWait(channel.socket, left) < 0 || !TakeArrivedBytes(channel)) break;
    }
    ClearReceiveQueue(channel.received);
}
