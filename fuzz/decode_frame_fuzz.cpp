// DecodeFrame on arbitrary received bytes. Holds, for every input:
//  - the decoded length is at most 1034 and 0 after any failure;
//  - after success every byte of PayloadBuffer from the length on is 0;
//  - RxFrameBuffer is never changed;
//  - encoding a decoded payload and decoding that frame gives it back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/frame_codec.h"

namespace {
FrameBuffers buffers;
FrameBuffers again;
std::uint8_t received[kFrameBufferSize];
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Inputs past the buffer's size exercise the length check alone.
    const std::size_t copied = size < kFrameBufferSize ? size : kFrameBufferSize;
    std::memset(buffers.RxFrameBuffer, 0, kFrameBufferSize);
    std::memcpy(buffers.RxFrameBuffer, data, copied);
    std::memcpy(received, buffers.RxFrameBuffer, kFrameBufferSize);

    int length = -1;
    const ResultCode result = DecodeFrame(buffers, static_cast<int>(size), length);
    if (std::memcmp(received, buffers.RxFrameBuffer, kFrameBufferSize) != 0) std::abort();
    if (result != kResultOk) {
        if (result != kErrExchange || length != 0) std::abort();
        return 0;
    }
    if (length < 0 || length > 1034) std::abort();
    for (std::size_t i = static_cast<std::size_t>(length); i < kPayloadBufferSize; ++i) {
        if (size > 0 && buffers.PayloadBuffer[i] != 0) std::abort();
    }
    if (length == 0) return 0;

    std::memcpy(again.PayloadBuffer, buffers.PayloadBuffer, kPayloadBufferSize);
    const int frameLength = EncodeFrame(again, length);
    std::memcpy(again.RxFrameBuffer, again.TxFrameBuffer, kFrameBufferSize);
    int decodedAgain = -1;
    if (DecodeFrame(again, frameLength, decodedAgain) != kResultOk || decodedAgain != length ||
        std::memcmp(again.PayloadBuffer, buffers.PayloadBuffer, static_cast<std::size_t>(length)) !=
            0) {
        std::abort();
    }
    return 0;
}
