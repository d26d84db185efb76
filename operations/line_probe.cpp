#include "operations/line_probe.h"

#include <algorithm>
#include <cstring>

#include "exchange/exchange.h"
#include "operations/device_identity.h"
#include "protocol/frame_codec.h"
#include "transport/line_timing.h"
#include "transport/serial_channel.h"

namespace {

constexpr int kProbeLimit = 3;
// Probing ends within this, whatever the reply wait.
constexpr int kProbingBudgetMs = 9500;
constexpr std::int64_t kUsPerMs = 1000;

// When the byte at `offset` came.
std::int64_t ArrivalOf(const ProbeCapture& capture, std::size_t offset) {
    for (std::size_t i = 0; i < capture.chunkCount; ++i)
        if (offset < capture.chunks[i].end) return capture.chunks[i].atUs;
    return capture.chunkCount > 0 ? capture.chunks[capture.chunkCount - 1].atUs : 0;
}

int WholeMs(std::int64_t us) {
    return static_cast<int>(std::max<std::int64_t>(0, (us + kUsPerMs / 2) / kUsPerMs));
}

// One complete frame of the capture from a device: what it says.
void JudgeFrame(const std::uint8_t* frame, std::size_t length, std::int64_t endUs,
                const ProbeRequest& request, const std::int64_t (&earlierEndUs)[256],
                ProbeFindings& findings) {
    FrameBuffers buffers;  // the decoder works between fixed buffers
    if (length > sizeof buffers.RxFrameBuffer) {
        ++findings.badFrames;
        return;
    }
    std::memcpy(buffers.RxFrameBuffer, frame, length);
    int payloadLength = 0;
    if (DecodeFrame(buffers, static_cast<int>(length), payloadLength) != kResultOk ||
        payloadLength < kRequestHeaderLength) {
        ++findings.badFrames;
        return;
    }
    const std::uint8_t* payload = buffers.PayloadBuffer;
    if (payload[1] != request.node) {
        findings.otherNode = payload[1];
        return;
    }
    // No status byte: nothing a device answers with (the request's own
    // bytes a second time are no reply either).
    if (payloadLength <= kRequestHeaderLength) {
        ++findings.badFrames;
        return;
    }
    std::int64_t fromUs = request.sentEndUs;
    if (payload[0] != request.sequence) {
        // A number no probe sent answers none of them, however valid the
        // frame: a gateway replaying an old reply, or a second master on the
        // line. Taken for an answer it would send the technician on to an
        // information request that cannot work.
        if (earlierEndUs[payload[0]] == 0) {
            ++findings.foreignFrames;
            return;
        }
        fromUs = earlierEndUs[payload[0]];
    }
    const int replyMs = WholeMs(endUs - fromUs);
    LineVerdict verdict = LineVerdict::kAnswered;
    if (payload[3] != kStatusAccepted) {
        verdict = LineVerdict::kRefused;
        findings.refusal = DeviceErrorResult(payload[4]);
    } else if (replyMs > request.replyWaitMs + request.stampLateMs) {
        // Late only when it would be even if it came as early as its stamp
        // allows: a port looked at in slices stamps bytes when it sees them.
        verdict = LineVerdict::kLate;
    }
    // The best reply heard decides; among equals, the first.
    if (findings.replyMs < 0 || verdict < findings.verdict) {
        findings.verdict = verdict;
        findings.replyMs = replyMs;
    }
}

}  // namespace

std::string_view VerdictName(LineVerdict verdict) {
    switch (verdict) {
        case LineVerdict::kPortFailed:
            return "port-failed";
        case LineVerdict::kAnswered:
            return "answered";
        case LineVerdict::kRefused:
            return "refused";
        case LineVerdict::kLate:
            return "late";
        case LineVerdict::kOtherNode:
            return "other-node";
        case LineVerdict::kGarbled:
            return "garbled";
        case LineVerdict::kEchoOnly:
            return "echo-only";
        case LineVerdict::kSilent:
            return "silent";
    }
    return "silent";
}

void JudgeCapture(const ProbeCapture& capture, const ProbeRequest& request,
                  const std::int64_t (&earlierEndUs)[256], ProbeFindings& findings) {
    // The verdict from a reply of the node is kept in findings.replyMs; the
    // others follow from what was counted, in the order of LineVerdict.
    bool echoSeen = false;
    int stray = 0;
    bool strayFraming = false;  // a start or end byte among the stray ones
    std::size_t frameStart = 0;
    bool inFrame = false;
    for (std::size_t i = 0; i < capture.count; ++i) {
        const std::uint8_t value = capture.bytes[i];
        if (value == kStx) {
            // A frame begun again before its end: what came before is lost.
            if (inFrame) {
                stray += static_cast<int>(i - frameStart);
                strayFraming = true;
            }
            inFrame = true;
            frameStart = i;
        } else if (value == kEtx) {
            if (!inFrame) {
                ++stray;
                strayFraming = true;
                continue;
            }
            inFrame = false;
            const std::uint8_t* frame = capture.bytes + frameStart;
            const std::size_t length = i + 1 - frameStart;
            // The request's own copy, once a probe: an echoing adapter.
            if (!echoSeen && length == request.length &&
                std::memcmp(frame, request.frame, length) == 0) {
                echoSeen = true;
                findings.echo = true;
                continue;
            }
            JudgeFrame(frame, length, ArrivalOf(capture, i), request, earlierEndUs, findings);
        } else if (!inFrame) {
            ++stray;
        }
    }
    if (inFrame) {
        stray += static_cast<int>(capture.count - frameStart);
        strayFraming = true;
    }
    // An RS-485 bus without fail-safe bias floats for a moment while the
    // adapter turns from sending to receiving, and the receiver reads a byte
    // or two out of it beside the echo. That is no sign of a wrong speed or
    // swapped wires; a frame's worth of it, or a start or end byte, would be.
    if (echoSeen && !strayFraming && static_cast<std::size_t>(stray) < request.length) {
        findings.looseBytes += stray;
    } else {
        findings.strayBytes += stray;
    }

    if (findings.replyMs >= 0) return;  // the node answered: its verdict stands
    if (findings.otherNode >= 0) {
        findings.verdict = LineVerdict::kOtherNode;
    } else if (findings.badFrames > 0 || findings.foreignFrames > 0 || findings.strayBytes > 0) {
        findings.verdict = LineVerdict::kGarbled;
    } else if (findings.echo) {
        findings.verdict = LineVerdict::kEchoOnly;
    } else {
        findings.verdict = LineVerdict::kSilent;
    }
}

int ProbeListenMs(int replyWaitMs) {
    return std::min(kProbingBudgetMs, std::max(1000, 2 * replyWaitMs));
}

ResultCode ProbeNode(LineState& line, std::uint8_t node, ProbeFindings& findings,
                     ProbeProgressFn onProbe, void* progressContext) {
    findings = {};
    const int replyWaitMs = ChannelReplyWaitMs(line.channel);
    const int listenMs = ProbeListenMs(replyWaitMs);
    const int probes = std::clamp(kProbingBudgetMs / listenMs, 1, kProbeLimit);
    std::int64_t earlierEndUs[256] = {};
    ProbeCapture capture;
    for (int probe = 0; probe < probes; ++probe) {
        if (onProbe != nullptr) onProbe(progressContext, probe, probes);
        line.PayloadBuffer[0] = line.SequenceNumber;
        line.PayloadBuffer[1] = node;
        line.PayloadBuffer[2] = kCommandPresence;
        const int frameLength = EncodeFrame(line, kRequestHeaderLength);
        ChannelDiscardInput(line.channel);
        if (line.trace != nullptr)
            line.trace(line.traceContext, TraceDirection::Sent, line.TxFrameBuffer, frameLength);
        const std::int64_t startUs = ReceiveClockUs();
        // A write refused, like a listen that fails, means the port itself
        // is gone (an adapter pulled out, a server that dropped the
        // connection): silence from it would say nothing of the line.
        bool failed = ChannelWrite(line.channel, line.TxFrameBuffer, frameLength) != kResultOk;
        ProbeRequest request{line.TxFrameBuffer,
                             static_cast<std::size_t>(frameLength),
                             node,
                             line.SequenceNumber,
                             startUs + LineTimeUs(frameLength),
                             replyWaitMs,
                             0};
        ++line.SequenceNumber;
        ++findings.probes;

        capture.count = 0;
        capture.chunkCount = 0;
        const std::int64_t untilUs = request.sentEndUs + std::int64_t{listenMs} * kUsPerMs;
        while (!failed && capture.count < ProbeCapture::kByteLimit &&
               capture.chunkCount < ProbeCapture::kChunkLimit) {
            std::uint8_t* space = capture.bytes + capture.count;
            const int got = ChannelListen(
                line.channel, space, static_cast<int>(ProbeCapture::kByteLimit - capture.count),
                untilUs, line.abortEvent);
            if (got == kErrAborted) return kErrAborted;
            failed = got < 0;
            if (got <= 0) break;
            if (line.trace != nullptr)
                line.trace(line.traceContext, TraceDirection::Received, space, got);
            capture.count += static_cast<std::size_t>(got);
            // When the channel saw the bytes arrive, not when they got here.
            capture.chunks[capture.chunkCount++] = {capture.count, ChannelArrivalUs(line.channel)};
        }
        // Known once the listen has run.
        request.stampLateMs = ChannelListenLookMs(line.channel);
        JudgeCapture(capture, request, earlierEndUs, findings);
        earlierEndUs[request.sequence] = request.sentEndUs;
        if (failed) {
            findings.verdict = LineVerdict::kPortFailed;
            break;
        }
        if (findings.verdict == LineVerdict::kAnswered || findings.verdict == LineVerdict::kRefused)
            break;
    }
    return kResultOk;
}
