#include "protocol/frame_codec.h"

#include <cstring>

namespace {

// Second byte of the escape pair for a control byte, or -1 for a plain byte.
int EscapeOf(std::uint8_t byte) {
    switch (byte) {
        case kStx:
            return 0x00;
        case kEtx:
            return 0x01;
        case kDle:
            return 0x10;
        default:
            return -1;
    }
}

// Byte that an escape pair stands for, or -1 when the pair is not valid.
int UnescapeOf(std::uint8_t second) {
    switch (second) {
        case 0x00:
            return kStx;
        case 0x01:
            return kEtx;
        case 0x10:
            return kDle;
        default:
            return -1;
    }
}

}  // namespace

int EncodeFrame(FrameBuffers& buffers, int payloadLength) {
    if (payloadLength <= 0 || static_cast<std::size_t>(payloadLength) > kPayloadBufferSize) {
        return 0;
    }
    std::uint8_t* out = buffers.TxFrameBuffer;
    std::memset(out, 0, kFrameBufferSize);

    std::size_t position = 0;
    out[position++] = kStx;
    std::uint8_t sum = 0;
    const auto count = static_cast<std::size_t>(payloadLength);
    // Payload bytes first, then the checksum as byte number `count`.
    for (std::size_t i = 0; i <= count; ++i) {
        if (position >= kEncodeOutputBound) break;
        const std::uint8_t byte =
            i < count ? buffers.PayloadBuffer[i] : static_cast<std::uint8_t>(~sum);
        sum = static_cast<std::uint8_t>(sum + byte);
        const int escape = EscapeOf(byte);
        if (escape >= 0) {
            out[position++] = kDle;
            out[position++] = static_cast<std::uint8_t>(escape);
        } else {
            out[position++] = byte;
        }
    }
    out[position++] = kEtx;
    return static_cast<int>(position);
}

ResultCode DecodeFrame(FrameBuffers& buffers, int frameLength, int& payloadLength) {
    payloadLength = 0;
    if (frameLength == 0) return kResultOk;
    const std::uint8_t* in = buffers.RxFrameBuffer;
    if (frameLength < 0 || static_cast<std::size_t>(frameLength) > kFrameBufferSize ||
        in[0] != kStx || in[frameLength - 1] != kEtx) {
        return kErrExchange;
    }

    std::uint8_t* out = buffers.PayloadBuffer;
    std::memset(out, 0, kPayloadBufferSize);
    const auto end = static_cast<std::size_t>(frameLength - 1);  // index of the closing ETX
    std::size_t read = 1;
    std::size_t count = 0;
    std::uint8_t sum = 0;
    while (read < end && count < kPayloadBufferSize) {
        std::uint8_t byte = in[read];
        if (byte == kStx || byte == kEtx) return kErrExchange;
        if (byte == kDle) {
            // A DLE right before the closing ETX takes that ETX as its second
            // byte, which is no valid escape.
            const int plain = UnescapeOf(in[++read]);
            if (plain < 0) return kErrExchange;
            byte = static_cast<std::uint8_t>(plain);
        }
        out[count++] = byte;
        sum = static_cast<std::uint8_t>(sum + byte);
        ++read;
    }
    if (sum != 0xFF) return kErrExchange;
    if (count > 0) out[--count] = 0;  // drop the checksum
    payloadLength = static_cast<int>(count);
    return kResultOk;
}
