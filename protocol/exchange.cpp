#include "protocol/exchange.h"

#include <cstring>

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

// The channel hands over the line's echo of a request as the reply when
// nothing else came (see receive_queue.h). For a request without data that
// may really be the device's answer; a request with data never gets its own
// bytes back from a device, and taking them for a reply would read the
// request's first data byte as the status: a block starting with 0x06 would
// count as accepted by a device that never answered.
bool IsEchoOfRequestWithData(const LineState& line, int received, int frameLength,
                             int payloadLength) {
    return payloadLength > kRequestHeaderLength && received == frameLength &&
           std::memcmp(line.RxFrameBuffer, line.TxFrameBuffer,
                       static_cast<std::size_t>(frameLength)) == 0;
}

}  // namespace

int Exchange(LineState& line, int payloadLength, std::uint8_t node, int maxAttempts,
             ExchangeMisses* misses) {
    ExchangeMisses unused;
    ExchangeMisses& missed = misses != nullptr ? *misses : unused;
    missed = {};
    const int frameLength = EncodeFrame(line, payloadLength);
    if (frameLength == 0) return 0;
    if (maxAttempts < 1) maxAttempts = 1;

    int attempts = 0;
    bool listenOnly = false;
    bool aborted = false;
    int replyLength = 0;
    while (attempts < maxAttempts) {
        ChannelDiscardInput(line.channel);
        if (!listenOnly) {
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

        const int received = ChannelRead(line.channel, line.RxFrameBuffer,
                                         static_cast<int>(kFrameBufferSize), line.abortEvent);
        if (received > 0 && line.trace != nullptr) {
            line.trace(line.traceContext, TraceDirection::Received, line.RxFrameBuffer, received);
        }
        if (received == kErrAborted) {
            aborted = true;
            break;
        }
        if (received < 0 || IsEchoOfRequestWithData(line, received, frameLength, payloadLength)) {
            ++attempts;  // nothing in time: send again
            continue;
        }
        if (DecodeFrame(line, received, replyLength) != kResultOk) {
            ++missed.garbled;
            ++attempts;  // garbled: send again
            continue;
        }
        if (line.PayloadBuffer[0] != line.SequenceNumber) {
            // A late reply to an earlier request: the right one may follow,
            // so the next attempt only listens.
            listenOnly = true;
            ++attempts;
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

int ExchangeCommand(LineState& line, std::uint8_t node, std::uint8_t command, int attempts,
                    ExchangeMisses* misses) {
    line.PayloadBuffer[0] = line.SequenceNumber;
    line.PayloadBuffer[1] = node;
    line.PayloadBuffer[2] = command;
    return Exchange(line, kRequestHeaderLength, node, attempts, misses);
}
