// The diagnosis's judging of whatever a line sends back. The bytes are the
// line's, anything at all; the first two of the input choose the node asked
// and how the rest is cut into the chunks a port would deliver. Holds:
//  - the verdict is the one the counts say: a reply time exactly for the
//    node's own replies, another node's number exactly for other-node,
//    bytes or foreign frames counted for garbled, an echo for echo-only,
//    nothing for silent; loose bytes only beside an echo;
//  - no more bytes are counted as stray or loose than were received;
//  - judging alone never says the port failed.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "operations/line_probe.h"

namespace {
ProbeCapture capture;
const std::int64_t kNoEarlier[256] = {};
// The presence check to node 255, sequence 0, as the probe sends it (the
// command, 0x10, escaped).
const std::uint8_t kRequest[] = {0x02, 0x00, 0xFF, 0x10, 0x10, 0xF0, 0x03};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t chunk = data[1] % 64 + 1;
    data += 2;
    size -= 2;
    capture.count = size < ProbeCapture::kByteLimit ? size : ProbeCapture::kByteLimit;
    std::memcpy(capture.bytes, data, capture.count);
    capture.chunkCount = 0;
    for (std::size_t end = 0;
         end < capture.count && capture.chunkCount < ProbeCapture::kChunkLimit;) {
        end = end + chunk < capture.count ? end + chunk : capture.count;
        capture.chunks[capture.chunkCount] = {end, static_cast<std::int64_t>(end) * 1000};
        ++capture.chunkCount;
    }
    const ProbeRequest request{kRequest, sizeof kRequest, 0xFF, 0, 0, 250, 0};
    ProbeFindings findings;
    JudgeCapture(capture, request, kNoEarlier, findings);

    const bool reply = findings.verdict == LineVerdict::kAnswered ||
                       findings.verdict == LineVerdict::kRefused ||
                       findings.verdict == LineVerdict::kLate;
    if (reply != (findings.replyMs >= 0)) std::abort();
    if (!reply && (findings.verdict == LineVerdict::kOtherNode) != (findings.otherNode >= 0))
        std::abort();
    const bool garbage =
        findings.badFrames > 0 || findings.foreignFrames > 0 || findings.strayBytes > 0;
    if (findings.verdict == LineVerdict::kPortFailed) std::abort();
    if (findings.verdict == LineVerdict::kGarbled && !garbage) std::abort();
    if (findings.verdict == LineVerdict::kEchoOnly && (garbage || !findings.echo)) std::abort();
    if (findings.verdict == LineVerdict::kSilent && (garbage || findings.echo || capture.count > 0))
        std::abort();
    if (findings.looseBytes > 0 && !findings.echo) std::abort();
    if (static_cast<std::size_t>(findings.strayBytes + findings.looseBytes) > capture.count)
        std::abort();
    return 0;
}
