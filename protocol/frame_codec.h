// Wire frames: STX, the payload and its checksum with control bytes escaped,
// ETX. The codec works between three fixed buffers and never allocates.
//
//   byte 0x02 (STX) -> 0x10 0x00
//   byte 0x03 (ETX) -> 0x10 0x01
//   byte 0x10 (DLE) -> 0x10 0x10
//
// The checksum byte is the complement of the 8-bit sum of the payload, so the
// payload plus checksum always sums to 0xFF. It is escaped like any other byte.
// Because 0x02 and 0x03 never stand inside a body, an ETX on the line always
// ends a frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/result_code.h"

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kDle = 0x10;

inline constexpr std::size_t kPayloadBufferSize = 1035;
inline constexpr std::size_t kFrameBufferSize = 2074;
// Encoding takes no further input byte once this much output is written.
inline constexpr std::size_t kEncodeOutputBound = 2071;

// The three buffers of one line. A request is built in PayloadBuffer, encoded
// into TxFrameBuffer; a reply is read into RxFrameBuffer and decoded over
// PayloadBuffer.
struct FrameBuffers {
    std::uint8_t PayloadBuffer[kPayloadBufferSize];
    std::uint8_t TxFrameBuffer[kFrameBufferSize];
    std::uint8_t RxFrameBuffer[kFrameBufferSize];
};

// Encodes the first `payloadLength` bytes of PayloadBuffer into TxFrameBuffer
// and returns the frame length. A length of 0 returns 0 and touches nothing,
// and so does a negative one or one beyond PayloadBuffer, which would read
// past it: the exchange takes 0 as nothing to send.
int EncodeFrame(FrameBuffers& buffers, int payloadLength);

// Decodes the first `frameLength` bytes of RxFrameBuffer into PayloadBuffer.
// `payloadLength` is set to 0 first, then to the number of payload bytes
// without the checksum on success. Returns 0, or kErrExchange for any
// malformed frame. After a successful decode every byte of PayloadBuffer from
// `payloadLength` on is 0. RxFrameBuffer is never changed.
ResultCode DecodeFrame(FrameBuffers& buffers, int frameLength, int& payloadLength);
