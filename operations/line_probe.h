// Looking at a line that does not answer: a few presence checks to one node,
// each followed by a long listen that keeps every byte with the moment it
// came, and a verdict on what came back. The exchange throws such bytes away
// once they are not the reply it waits for; a technician needs them to tell
// a dead device from a wrong node, an echoing adapter, swapped wires or a
// gateway that holds replies back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "exchange/line_state.h"
#include "protocol/result_code.h"

// What the probes heard, the first of these that fits.
enum class LineVerdict : std::uint8_t {
    // The port failed while probing: nothing more can be learnt through it.
    kPortFailed,
    kAnswered,   // a valid reply from the node within the reply wait
    kRefused,    // a valid reply from the node refusing the presence check
    kLate,       // a valid reply from the node, after the reply wait
    kOtherNode,  // a valid reply from another node
    kGarbled,    // bytes but no valid frame, or the node's frames that answer no probe
    kEchoOnly,   // the requests' own frames, beside them at most a few loose bytes
    kSilent,     // not a byte
};

// "port-failed", "answered", "refused", "late", "other-node", "garbled",
// "echo-only", "silent".
std::string_view VerdictName(LineVerdict verdict);

struct ProbeFindings {
    LineVerdict verdict = LineVerdict::kSilent;
    int probes = 0;          // presence checks sent
    bool echo = false;       // a copy of a request came back
    int replyMs = -1;        // answered, refused, late: request on the line to the reply's end
    int otherNode = -1;      // other-node: the node that answered
    ResultCode refusal = 0;  // refused: the device's error
    int badFrames = 0;       // frames that did not decode
    int foreignFrames = 0;   // valid frames of the node with a sequence number no probe sent
    int strayBytes = 0;      // bytes outside any frame, or of a frame without its end
    int looseBytes = 0;      // plain bytes beside an echo as the line turns around
};

// One listen's bytes and when they came (ReceiveClockUs), chunk by chunk as
// the port delivered them.
struct ProbeCapture {
    static constexpr std::size_t kByteLimit = 4096;
    static constexpr std::size_t kChunkLimit = 512;
    struct Chunk {
        std::size_t end;  // offset just past the chunk's last byte
        std::int64_t atUs;
    };
    std::uint8_t bytes[kByteLimit];
    std::size_t count = 0;
    Chunk chunks[kChunkLimit];
    std::size_t chunkCount = 0;
};

// What the judging of one capture needs to know of the probe behind it.
struct ProbeRequest {
    const std::uint8_t* frame;  // the request as sent, STX to ETX
    std::size_t length;
    std::uint8_t node;
    std::uint8_t sequence;
    std::int64_t sentEndUs;  // when its last byte had left the line
    int replyWaitMs;         // the channel's reply wait, allowance included
    int stampLateMs;         // how late a chunk's stamp may be (ChannelListenLookMs)
};

// Adds what `capture` holds to `findings` and sets its verdict to the first
// that fits of everything judged so far. A frame from the node carrying an
// earlier probe's sequence number is timed from that probe's end, given in
// `earlierEndUs` (indexed by sequence number; 0 when not one of ours); one
// carrying a number no probe sent answers nothing (foreignFrames). Beside the
// echo, fewer plain bytes than the request has (no start or end byte among
// them) are looseBytes rather than stray.
void JudgeCapture(const ProbeCapture& capture, const ProbeRequest& request,
                  const std::int64_t (&earlierEndUs)[256], ProbeFindings& findings);

// How long each probe listens after its request has left the line: at least
// a second, and twice a long reply wait (a network line's allowance).
int ProbeListenMs(int replyWaitMs);

// Sends presence checks to `node` over the open channel, up to three and no
// more than fit in about ten seconds, each followed by ProbeListenMs of
// listening; stops early once the node answered or refused, or once the port
// failed (kPortFailed; the system's reason, where known, in the channel's
// lastError). `onProbe` (may be null) is told before each probe. 0, or
// kErrAborted on Stop.
using ProbeProgressFn = void (*)(void* context, int probe, int probes);
ResultCode ProbeNode(LineState& line, std::uint8_t node, ProbeFindings& findings,
                     ProbeProgressFn onProbe = nullptr, void* progressContext = nullptr);
