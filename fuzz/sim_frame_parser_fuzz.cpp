// The simulated device's frame parser and model on arbitrary line bytes:
// every frame it cuts out runs from STX to ETX with no ETX inside, and every
// decoded request gets a bounded reply or none.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "protocol/frame_codec.h"
#include "sim/device_model.h"
#include "sim/device_responder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FrameCollector collector;
    DeviceModel model;
    std::vector<FrameCollector::Frame> frames;
    static FrameBuffers buffers;

    // Feed in chunks whose sizes come from the input itself.
    std::size_t at = 0;
    std::int64_t now = 0;
    while (at < size) {
        const std::size_t chunk = 1 + data[at] % 64;
        const std::size_t take = chunk < size - at ? chunk : size - at;
        frames.clear();
        collector.Feed(std::span<const std::uint8_t>(data + at, take), now += 100, frames);
        at += take;
        for (const auto& frame : frames) {
            const auto& bytes = frame.bytes;
            if (bytes.size() < 2 || bytes.front() != kStx || bytes.back() != kEtx) std::abort();
            for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
                if (bytes[i] == kEtx) std::abort();
            }
            if (bytes.size() > kFrameBufferSize) continue;
            std::copy(bytes.begin(), bytes.end(), buffers.RxFrameBuffer);
            int length = 0;
            if (DecodeFrame(buffers, static_cast<int>(bytes.size()), length) != kResultOk) continue;
            const auto reply = model.Handle(std::span<const std::uint8_t>(
                buffers.PayloadBuffer, static_cast<std::size_t>(length)));
            if (reply && reply->size() > 4 + DeviceModel::kRecordSize) std::abort();
        }
    }
    return 0;
}
