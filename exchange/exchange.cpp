#include "exchange/exchange.h"

#include "platform/event.h"
#include "protocol/frame_codec.h"
#include "transport/serial_channel.h"

ResultCode DeviceErrorResult(std::uint8_t errorByte) {
    // A fixed table: every byte below 249 is an unknown error, and 250/251
    // do not follow the order of the codes.
    switch (errorByte) {
        case 249:
            return kErrDeviceOtherSerial;
        case 250:
            return kErrDeviceTooCold;
        case 251:
            return kErrDeviceWrongModule;
        case 252:
            return kErrDeviceModuleDamaged;
        case 253:
            return kErrDeviceWriteFailed;
        case 254:
            return kErrDeviceBadCommand;
        case 255:
            return kErrDeviceBadBlock;
        default:
            return kErrDeviceUnknown;
    }
}

namespace {

constexpr int kStaleFramesPerWait = 8;

int RunExchange(LineState& line, int payloadLength, std::uint8_t node, int maxAttempts,
                ExchangeMisses* misses, LoneEcho loneEcho) {
    ExchangeMisses unused;
    ExchangeMisses& missed = misses != nullptr ? *misses : unused;
    missed = {};
    const int frameLength = EncodeFrame(line, payloadLength);
    if (frameLength == 0) return 0;
    if (maxAttempts < 1) maxAttempts = 1;
    ChannelExpectLoneEcho(line.channel, loneEcho);

    int attempts = 0;
    bool listenOnly = false;
    bool aborted = false;
    int replyLength = 0;
    while (attempts < maxAttempts) {
        ChannelDiscardInput(line.channel);
        if (!listenOnly) {
            if (line.abortBeforeSend && line.abortEvent != nullptr && line.abortEvent->IsSet()) {
                aborted = true;
                break;
            }
            if (line.trace != nullptr) {
                line.trace(line.traceContext, TraceDirection::Sent, line.TxFrameBuffer,
                           frameLength);
            }
            if (ChannelWrite(line.channel, line.TxFrameBuffer, frameLength) != kResultOk) {
                ++attempts;
                continue;
            }
        }
        listenOnly = false;

        // A late reply to an earlier request is dropped as it comes, and the
        // wait for this one goes on to the same end: the right reply may
        // follow within it.
        bool stale = false;
        int received = 0;
        ResultCode decoded = kResultOk;
        for (int frames = 0;; ++frames) {
            // A line that never stops replaying old frames does not hold the
            // attempt past a few of them.
            if (frames == kStaleFramesPerWait) {
                received = kErrExchange;
                break;
            }
            received = ChannelRead(line.channel, line.RxFrameBuffer,
                                   static_cast<int>(kFrameBufferSize), line.abortEvent);
            if (received > 0 && line.trace != nullptr) {
                line.trace(line.traceContext, TraceDirection::Received, line.RxFrameBuffer,
                           received);
            }
            if (received < 0) break;
            decoded = DecodeFrame(line, received, replyLength);
            if (decoded != kResultOk || line.PayloadBuffer[0] == line.SequenceNumber) break;
            stale = true;
            ChannelContinueWait(line.channel);
        }
        if (received == kErrAborted) {
            aborted = true;
            break;
        }
        if (received < 0) {
            // Nothing in time: send again; but after a late reply the right
            // one may still be on its way, so the next attempt only listens.
            listenOnly = stale;
            ++attempts;
            continue;
        }
        if (decoded != kResultOk) {
            ++missed.garbled;
            ++attempts;  // garbled: send again
            continue;
        }
        if (line.PayloadBuffer[1] == node) break;
        missed.otherNode = line.PayloadBuffer[1];
        ++attempts;  // another node answered: send again
    }
    ++line.SequenceNumber;

    if (attempts == maxAttempts) return kErrExchange;
    if (aborted) return kErrAborted;
    if (line.PayloadBuffer[3] == kStatusAccepted) return replyLength;
    return DeviceErrorResult(line.PayloadBuffer[4]);
}

// The request's own bytes alone within the wait (the line's echo, or a
// device answering with the request's bytes): a request with data never
// gets its own bytes back from a device, and taking them for a reply would
// read its first data byte as the status, so a block starting with 0x06
// would count as accepted by a device that never answered. Without data the
// echo rule of the channel decides (receive_queue.h).
LoneEcho LoneEchoOf(int payloadLength) {
    return payloadLength > kRequestHeaderLength ? LoneEcho::kSilence : LoneEcho::kReplyUnlessEchoes;
}

void PutCommand(LineState& line, std::uint8_t node, std::uint8_t command) {
    line.PayloadBuffer[0] = line.SequenceNumber;
    line.PayloadBuffer[1] = node;
    line.PayloadBuffer[2] = command;
}

}  // namespace

int Exchange(LineState& line, int payloadLength, std::uint8_t node, int maxAttempts,
             ExchangeMisses* misses) {
    return RunExchange(line, payloadLength, node, maxAttempts, misses, LoneEchoOf(payloadLength));
}

int ExchangeCommand(LineState& line, std::uint8_t node, std::uint8_t command, int attempts,
                    ExchangeMisses* misses) {
    PutCommand(line, node, command);
    return Exchange(line, kRequestHeaderLength, node, attempts, misses);
}

int ExchangePresenceCheck(LineState& line, std::uint8_t node, std::uint8_t command, int attempts,
                          ExchangeMisses* misses) {
    PutCommand(line, node, command);
    return RunExchange(line, kRequestHeaderLength, node, attempts, misses,
                       LoneEcho::kSilenceUnlessClean);
}
