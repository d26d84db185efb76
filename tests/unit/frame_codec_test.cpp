#include "protocol/frame_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

class FrameCodec : public ::testing::Test {
  protected:
    FrameBuffers buffers{};

    Bytes Encode(const Bytes& payload) {
        std::copy(payload.begin(), payload.end(), buffers.PayloadBuffer);
        const int length = EncodeFrame(buffers, static_cast<int>(payload.size()));
        return Bytes(buffers.TxFrameBuffer, buffers.TxFrameBuffer + length);
    }

    // Puts `frame` into the receive buffer and decodes it.
    ResultCode Decode(const Bytes& frame, int& length) {
        std::copy(frame.begin(), frame.end(), buffers.RxFrameBuffer);
        return DecodeFrame(buffers, static_cast<int>(frame.size()), length);
    }

    Bytes Payload(int length) const {
        return Bytes(buffers.PayloadBuffer, buffers.PayloadBuffer + length);
    }

    bool PayloadZeroFrom(int from) const {
        return std::all_of(buffers.PayloadBuffer + from, buffers.PayloadBuffer + kPayloadBufferSize,
                           [](std::uint8_t b) { return b == 0; });
    }
};

TEST_F(FrameCodec, WorkedExamples) {
    const struct {
        Bytes payload, frame;
    } examples[] = {
        {{0x00, 0xFF, 0x10}, {0x02, 0x00, 0xFF, 0x10, 0x10, 0xF0, 0x03}},
        {{0x00, 0xFF, 0x12}, {0x02, 0x00, 0xFF, 0x12, 0xEE, 0x03}},
        {{0x02, 0x03, 0x14}, {0x02, 0x10, 0x00, 0x10, 0x01, 0x14, 0xE6, 0x03}},
    };
    for (const auto& example : examples) {
        EXPECT_EQ(Encode(example.payload), example.frame);
        int length = -1;
        ASSERT_EQ(Decode(example.frame, length), 0);
        EXPECT_EQ(length, 3);
        EXPECT_EQ(Payload(3), example.payload);
        EXPECT_TRUE(PayloadZeroFrom(3));
    }
}

TEST_F(FrameCodec, EncodeOfNothingOrOfTooMuchTouchesNothing) {
    // Beyond the payload buffer the encoder would read the frame buffers
    // that follow it; such a length, like 0 or a negative one, is nothing
    // to send.
    const int tooLong = static_cast<int>(kPayloadBufferSize) + 1;
    for (int length : {0, -1, tooLong, std::numeric_limits<int>::max()}) {
        std::memset(buffers.TxFrameBuffer, 0xAB, kFrameBufferSize);
        EXPECT_EQ(EncodeFrame(buffers, length), 0) << length;
        EXPECT_TRUE(std::all_of(buffers.TxFrameBuffer, buffers.TxFrameBuffer + kFrameBufferSize,
                                [](std::uint8_t b) { return b == 0xAB; }))
            << length;
    }
}

TEST_F(FrameCodec, EncodeClearsTheWholeFrameBuffer) {
    std::memset(buffers.TxFrameBuffer, 0xAB, kFrameBufferSize);
    const Bytes frame = Encode({0x00, 0xFF, 0x12});
    EXPECT_TRUE(std::all_of(buffers.TxFrameBuffer + frame.size(),
                            buffers.TxFrameBuffer + kFrameBufferSize,
                            [](std::uint8_t b) { return b == 0; }));
}

TEST_F(FrameCodec, ChecksumThatIsAControlByteIsEscaped) {
    // Sums 0xFD, 0xFC and 0xEF give the checksums 0x02, 0x03 and 0x10.
    EXPECT_EQ(Encode({0xFD}), (Bytes{0x02, 0xFD, 0x10, 0x00, 0x03}));
    EXPECT_EQ(Encode({0xFC}), (Bytes{0x02, 0xFC, 0x10, 0x01, 0x03}));
    EXPECT_EQ(Encode({0xEF}), (Bytes{0x02, 0xEF, 0x10, 0x10, 0x03}));
}

TEST_F(FrameCodec, LargestRequestOfControlBytesEncodesWhole) {
    // 1033 control bytes: 81 of 0x03, 10 of 0x10, the rest 0x02. They sum
    // to 0xEF modulo 256, so the checksum is 0x10 and needs an escape too:
    // every one of the 1034 bytes is sent as two.
    Bytes payload(1033, 0x02);
    std::fill(payload.begin(), payload.begin() + 81, 0x03);
    std::fill(payload.begin() + 81, payload.begin() + 91, 0x10);
    unsigned sum = 0;
    for (auto b : payload)
        sum += b;
    ASSERT_EQ(static_cast<std::uint8_t>(~sum), 0x10);
    const Bytes frame = Encode(payload);
    ASSERT_EQ(frame.size(), 2070u);
    EXPECT_EQ(frame.front(), kStx);
    EXPECT_EQ(frame.back(), kEtx);
    int length = 0;
    ASSERT_EQ(Decode(frame, length), 0);
    EXPECT_EQ(length, 1033);
    EXPECT_EQ(Payload(1033), payload);
}

TEST_F(FrameCodec, EncodeStopsAtTheOutputBound) {
    // 1035 escaped bytes would need 2 + 2 * 1036 bytes; input stops once 2071
    // bytes are written, and ETX still closes the frame.
    std::memset(buffers.PayloadBuffer, 0x10, kPayloadBufferSize);
    const int length = EncodeFrame(buffers, static_cast<int>(kPayloadBufferSize));
    EXPECT_EQ(length, 2072);
    EXPECT_EQ(buffers.TxFrameBuffer[length - 1], kEtx);
}

TEST_F(FrameCodec, ShortestFrames) {
    int length = -1;
    // STX ETX: the empty sum is not 0xFF.
    EXPECT_EQ(Decode({0x02, 0x03}, length), kErrExchange);
    EXPECT_EQ(length, 0);
    // STX FF ETX: a payload of length 0.
    buffers.PayloadBuffer[0] = 0x55;
    EXPECT_EQ(Decode({0x02, 0xFF, 0x03}, length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(PayloadZeroFrom(0));
    // Length 0 decodes nothing and leaves the payload as it was.
    buffers.PayloadBuffer[0] = 0x55;
    EXPECT_EQ(DecodeFrame(buffers, 0, length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffers.PayloadBuffer[0], 0x55);
}

TEST_F(FrameCodec, MalformedFramesFailAndSetLengthZero) {
    const Bytes good = Encode({0x07, 0x01, 0x12, 0x06, 0x41});
    const Bytes bad[] = {
        // noise before STX
        [&] {
            Bytes f = good;
            f.insert(f.begin(), 0x55);
            return f;
        }(),
        // bytes after the closing ETX
        [&] {
            Bytes f = good;
            f.push_back(0x55);
            return f;
        }(),
        // two frames read together: an ETX stands inside
        [&] {
            Bytes f = good;
            f.insert(f.end(), good.begin(), good.end());
            return f;
        }(),
        // STX inside the body
        {0x02, 0x01, 0x02, 0xFC, 0x03},
        // bad checksum
        [&] {
            Bytes f = good;
            f[f.size() - 2] ^= 0x01;
            return f;
        }(),
        // DLE followed by a value that is no escape
        {0x02, 0x10, 0x02, 0xFD, 0x03},
        {0x02, 0x10, 0x11, 0xEE, 0x03},
        // DLE as the last byte before ETX
        {0x02, 0xEF, 0x10, 0x03},
        // missing STX or ETX
        {0x00, 0xFF, 0x03},
        {0x02, 0xFF, 0x00},
        {0x03},
    };
    for (const Bytes& frame : bad) {
        int length = 99;
        EXPECT_EQ(Decode(frame, length), kErrExchange) << ::testing::PrintToString(frame);
        EXPECT_EQ(length, 0);
    }
}

TEST_F(FrameCodec, FailedStartOrEndCheckLeavesPayloadUntouched) {
    std::memset(buffers.PayloadBuffer, 0x5A, kPayloadBufferSize);
    int length = 0;
    EXPECT_EQ(Decode({0x55, 0x02, 0xFF, 0x03}, length), kErrExchange);
    EXPECT_EQ(buffers.PayloadBuffer[0], 0x5A);
    // 2075 bytes or more: refused before anything is looked at.
    std::memset(buffers.RxFrameBuffer, 0, kFrameBufferSize);
    buffers.RxFrameBuffer[0] = kStx;
    EXPECT_EQ(DecodeFrame(buffers, 2075, length), kErrExchange);
    EXPECT_EQ(buffers.PayloadBuffer[1034], 0x5A);
}

TEST_F(FrameCodec, DecodeNeverChangesTheReceiveBuffer) {
    const Bytes frame = Encode({0x01, 0x02, 0x03, 0x10, 0x20});
    std::copy(frame.begin(), frame.end(), buffers.RxFrameBuffer);
    Bytes before(buffers.RxFrameBuffer, buffers.RxFrameBuffer + kFrameBufferSize);
    int length = 0;
    ASSERT_EQ(DecodeFrame(buffers, static_cast<int>(frame.size()), length), 0);
    EXPECT_EQ(Bytes(buffers.RxFrameBuffer, buffers.RxFrameBuffer + kFrameBufferSize), before);
}

TEST_F(FrameCodec, ShortReplyReadsZeroStatusAndErrorByte) {
    std::memset(buffers.PayloadBuffer, 0xEE, kPayloadBufferSize);
    int length = 0;
    ASSERT_EQ(Decode(Encode({0x05, 0x01, 0x10}), length), 0);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(buffers.PayloadBuffer[3], 0);
    EXPECT_EQ(buffers.PayloadBuffer[4], 0);
}

TEST_F(FrameCodec, LongestReplyAndExtraBytesBeyondIt) {
    // A 1034-byte reply plus checksum fills the 1035-byte buffer exactly.
    Bytes reply(1034);
    for (std::size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<std::uint8_t>(i * 7);
    int length = 0;
    ASSERT_EQ(Decode(Encode(reply), length), 0);
    EXPECT_EQ(length, 1034);
    EXPECT_EQ(Payload(1034), reply);
    EXPECT_EQ(buffers.PayloadBuffer[1034], 0);

    // Bytes beyond 1035 decoded bytes are ignored; the checksum test covers
    // the 1035 that were decoded.
    Bytes frame = Encode(reply);
    frame.insert(frame.end() - 1, {0x44, 0x44});
    ASSERT_EQ(Decode(frame, length), 0);
    EXPECT_EQ(length, 1034);
}

TEST_F(FrameCodec, RoundTripOfRandomPayloads) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> lengthOf(1, 1033);
    std::uniform_int_distribution<int> kindOf(0, 3);
    for (int run = 0; run < 3000; ++run) {
        const int n = run < 1033 ? run + 1 : lengthOf(random);
        Bytes payload(static_cast<std::size_t>(n));
        for (auto& b : payload) {
            // Plenty of control bytes so escapes are well exercised.
            const int kind = kindOf(random);
            b = kind == 0 ? 0x02 : kind == 1 ? 0x10 : static_cast<std::uint8_t>(random());
        }
        const Bytes frame = Encode(payload);
        ASSERT_LE(frame.size(), 2070u);
        ASSERT_EQ(std::count(frame.begin() + 1, frame.end() - 1, kStx), 0);
        ASSERT_EQ(std::count(frame.begin() + 1, frame.end() - 1, kEtx), 0);
        int length = 0;
        ASSERT_EQ(Decode(frame, length), 0) << "length " << n;
        ASSERT_EQ(length, n);
        ASSERT_EQ(Payload(n), payload);
        ASSERT_TRUE(PayloadZeroFrom(n));
    }
}

}  // namespace
