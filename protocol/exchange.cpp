#include "protocol/exchange.h"

#include "protocol/frame_codec.h"
#include "protocol/serial_channel.h"

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

int Exchange(LineState& line, int payloadLength, std::uint8_t node) {
    const int frameLength = EncodeFrame(line, payloadLength);
    if (frameLength == 0) return 0;

    int attempts = 0;
    bool listenOnly = false;
    bool aborted = false;
    int replyLength = 0;
    while (attempts < kExchangeAttempts) {
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
        if (received < 0 || DecodeFrame(line, received, replyLength) != kResultOk) {
            ++attempts;  // nothing in time, or garbled: send again
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
        ++attempts;  // another node answered: send again
    }
    ++line.SequenceNumber;

    if (attempts == kExchangeAttempts) return kErrExchange;
    if (aborted) return kErrAborted;
    if (line.PayloadBuffer[3] == kStatusAccepted) return replyLength;
    return DeviceErrorResult(line.PayloadBuffer[4]);
}
