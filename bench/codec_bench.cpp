// Throughput of the frame codec on a block-sized payload (the 3 header bytes
// and one 1030-byte module record), against memcpy of the same payload bytes.
// Two kinds of payload: pseudo-random bytes, where about one byte in 85 needs
// an escape, and bytes that are all 0x02, 0x03 or 0x10, where every byte is
// escaped and the frame is twice as long: the worst a module can hold.
// Throughput is counted in payload bytes for every case, so the figures
// compare directly; scripts/bench turns them into ratios to memcpy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "protocol/frame_codec.h"

namespace {

constexpr int kPayloadLength = 1033;

enum class Contents { Plain, ControlRich };

// The buffers are too large for the stack of a benchmark thread to be a
// comfortable home, and a static instance is how the programs hold them too.
FrameBuffers g_buffers;

void FillPayload(FrameBuffers& buffers, Contents contents) {
    std::uint32_t state = 0x2545F491u;
    for (int i = 0; i < kPayloadLength; ++i) {
        std::uint8_t byte = 0;
        if (contents == Contents::ControlRich) {
            static constexpr std::uint8_t kControl[] = {kStx, kEtx, kDle};
            byte = kControl[i % 3];
        } else {
            // xorshift32: cheap, fixed, and free of any pattern the codec could favour.
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = static_cast<std::uint8_t>(state >> 24);
        }
        buffers.PayloadBuffer[i] = byte;
    }
}

void Encode(benchmark::State& state, Contents contents) {
    FillPayload(g_buffers, contents);
    int frameLength = 0;
    for (auto _ : state) {
        frameLength = EncodeFrame(g_buffers, kPayloadLength);
        benchmark::DoNotOptimize(frameLength);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kPayloadLength);
    state.counters["frame_bytes"] = frameLength;
}

void Decode(benchmark::State& state, Contents contents) {
    FillPayload(g_buffers, contents);
    const int frameLength = EncodeFrame(g_buffers, kPayloadLength);
    std::memcpy(g_buffers.RxFrameBuffer, g_buffers.TxFrameBuffer,
                static_cast<std::size_t>(frameLength));
    int payloadLength = 0;
    for (auto _ : state) {
        const ResultCode result = DecodeFrame(g_buffers, frameLength, payloadLength);
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    if (payloadLength != kPayloadLength) state.SkipWithError("the frame did not decode");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kPayloadLength);
    state.counters["frame_bytes"] = frameLength;
}

void Memcpy(benchmark::State& state) {
    FillPayload(g_buffers, Contents::Plain);
    for (auto _ : state) {
        std::memcpy(g_buffers.TxFrameBuffer, g_buffers.PayloadBuffer, kPayloadLength);
        benchmark::DoNotOptimize(g_buffers.TxFrameBuffer);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kPayloadLength);
}

BENCHMARK(Memcpy);
BENCHMARK_CAPTURE(Encode, plain, Contents::Plain);
BENCHMARK_CAPTURE(Encode, control_rich, Contents::ControlRich);
BENCHMARK_CAPTURE(Decode, plain, Contents::Plain);
BENCHMARK_CAPTURE(Decode, control_rich, Contents::ControlRich);

}  // namespace

BENCHMARK_MAIN();
