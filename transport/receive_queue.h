// The channel's own receive queue, the same on every platform (POSIX, Win32
// and the network channel all keep one and call only these functions).
//
// Bytes taken from the port are appended here; a reply is complete once an
// ETX stands in the queue, since ETX never occurs inside a frame. Drivers
// that signal the arrival of the event character, drivers that do not, and
// termios, which has no such event at all, all end in this one rule.
//
// The line's echo. A half-duplex RS-485 adapter hands every frame the tool
// sends straight back before the device answers. A received frame that is
// byte for byte the frame just sent is therefore held rather than delivered,
// and the wait goes on: a further frame before the wait ends is the reply.
// If none comes, the held frame is either the line's echo with nobody
// answering, or the device's own answer to a request without data (which
// may have exactly the request's bytes): one frame cannot tell them apart.
// So the queue learns, while the channel is open, whether the line echoes:
//  - a frame identical to the request followed by another frame says it
//    does (a clean line would need a device that answers twice);
//  - a first frame after a request that is not identical to it says it does
//    not. Only the first frame after a frame sent teaches, so a listen-only
//    attempt, or a stale reply after the right one, teaches nothing.
// Once known to echo the line stays so until it is opened again: a damaged
// echo looks like a clean line's reply, never the other way round.
// What a lone identical frame means is then the rule of LoneEcho below.
//
// Noise. An unbiased line floats at each turnaround and may hand over a
// byte of noise before a frame. Bytes before a frame's STX are no part of
// it: they are dropped before the frame is compared with the request, or
// the echo would pass for a garbled reply and teach that the line is
// clean. A fragment ended by ETX without any STX is delivered (it is a
// damaged reply) but teaches nothing. A read delivers one frame, up to its
// ETX; what follows stays queued for the next read, so two frames read
// together (a late reply to an earlier request, then the reply) are judged
// one at a time.
//
// One wait. A read that delivered a frame which was not the reply (the
// exchange drops a late reply to an earlier request) may be followed by a
// read that goes on with the same wait (ContinueReplyWait): dropping such
// frames never lengthens the wait, and the reply that follows within it is
// still taken.
//
// A reply still arriving. A reply rich in escaped bytes is longer on the line
// than the reply wait (2074 bytes take about 360 ms at 57600 baud). While a
// frame has begun (an STX after the last ETX) and its bytes keep coming, the
// wait goes on past its end, up to the longest frame's line time; a frame
// whose bytes stop for a quiet gap ends the wait then. ReplyWaitEndUs gives
// that moment; every channel waits until it.
//
// Contract for a channel:
//  - open and close: ResetReceiveQueue (OpenChannel does it for every kind);
//  - write: NoteFrameSent before the frame goes out;
//  - purge at the start of an attempt: ClearReceiveQueue;
//  - read: take the wait's end from BeginReplyWait; append what arrives
//    with ReceiveSpace/ReceiveAppended; when ReplyComplete is true,
//    DeliverReply; otherwise wait until ReplyWaitEndUs (recomputed after
//    every arrival) and, once past it, return DeliverHeldEcho (a reply or
//    kErrExchange by the echo rule);
//  - listen (raw, no frame rule): DeliverQueued.
// All times are ReceiveClockUs(). Nothing here allocates or blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frame_codec.h"
#include "transport/line_timing.h"

// What the channel has learnt, since it was opened, about its line's echo.
enum class LineEcho : std::uint8_t {
    kUnknown,  // no reply seen yet from which to tell
    kEchoes,   // every frame sent comes back before the reply
    kClean,    // replies come without the request before them
};

// What a lone frame identical to the request (nothing else within the wait)
// is taken for, by the kind of request. The exchange sets it per request.
enum class LoneEcho : std::uint8_t {
    // A request without data: the device's short answer may be its bytes.
    // A reply, unless the line is known to echo.
    kReplyUnlessEchoes,
    // The presence check: silence, unless the line is known to be clean.
    // Taking an absent node's echo for a broken device would end a search
    // for a device on an echoing line at its first request.
    kSilenceUnlessClean,
    // A request with data: a device never answers with the request's own
    // bytes, so this is always silence.
    kSilence,
};

// Quiet on the line, after the last byte of a frame that has begun, that ends
// a wait running past its deadline. Not three character times (0.5 ms): USB
// adapters hand over received bytes in packets, every 11 ms while a reply
// streams (62 bytes) and up to their 16 ms latency timer otherwise, and a
// Windows timer tick is 15.6 ms; a shorter gap would cut streaming replies.
inline constexpr int kReplyQuietMs = 20;

struct ReceiveQueue {
    // No reply frame is longer than 2074 bytes; twice that leaves room for an
    // echo, its reply and some noise.
    std::uint8_t bytes[4096];
    std::size_t count = 0;
    // A copy of the frame last written, against which arriving frames are
    // compared, and whether its echo has been seen and held.
    std::uint8_t sent[kFrameBufferSize];
    std::size_t sentLength = 0;
    bool echoHeld = false;
    // A frame went out since the last purge and no frame after it has been
    // judged yet: the next complete frame teaches the line's echo.
    bool teaching = false;
    LineEcho lineEcho = LineEcho::kUnknown;
    LoneEcho loneEcho = LoneEcho::kReplyUnlessEchoes;
    // How long a read waits for the reply, from the moment the request has
    // left the line (a network line adds its latency allowance). The scan's
    // quick pass shortens it; opening the port restores kReplyWaitMs.
    int replyWaitMs = kReplyWaitMs;
    // ReceiveClockUs() of the last bytes appended.
    std::int64_t lastArrivalUs = 0;
    // The end of the last read's reply wait, and whether the next read is to
    // go on with it rather than begin a wait of its own.
    std::int64_t waitEndUs = 0;
    bool waitGoesOn = false;
};

// The queue's clock: a monotonic clock in microseconds.
std::int64_t ReceiveClockUs();

// Forgets everything, what was learnt about the line's echo included: for
// opening and closing the port.
void ResetReceiveQueue(ReceiveQueue& queue);

// Remembers the frame being written; frames longer than a frame buffer are
// never echoes of ours and are not kept.
void NoteFrameSent(ReceiveQueue& queue, const std::uint8_t* frame, std::size_t length);

// Forgets every received byte and a held echo (the purge at the start of an
// attempt). The frame last sent, the LoneEcho rule and what was learnt about
// the line are kept: a listen-only attempt sends nothing.
void ClearReceiveQueue(ReceiveQueue& queue);

// Where the next bytes from the port go, and how many fit. A queue filled
// without any ETX holds nothing but line noise and is emptied first.
std::uint8_t* ReceiveSpace(ReceiveQueue& queue, std::size_t& room);
// Counts `added` bytes written into the space and notes when they came.
void ReceiveAppended(ReceiveQueue& queue, std::size_t added);

// True when a reply is complete: an ETX stands in the queue. Bytes before
// the first STX ahead of it are dropped; a leading frame identical to the
// frame just sent is taken out of the queue and held (once per frame sent).
// Learns the line's echo from the first frame after a frame sent.
bool ReplyComplete(ReceiveQueue& queue);

// Once ReplyComplete: delivers the queue's front up to its first ETX (at most
// `maximum` bytes) and keeps the rest. The count, or kErrExchange when no
// ETX is queued.
int DeliverReply(ReceiveQueue& queue, std::uint8_t* buffer, int maximum);

// Delivers min(queued, maximum) bytes from the front of the queue, as they
// came, and keeps the rest. Returns the count, or kErrExchange when nothing
// is queued.
int DeliverQueued(ReceiveQueue& queue, std::uint8_t* buffer, int maximum);

// At the end of a wait without a reply: delivers the held frame when the
// LoneEcho rule and the line's echo say it is a reply; kErrExchange when it
// is silence or nothing is held.
int DeliverHeldEcho(ReceiveQueue& queue, std::uint8_t* buffer, int maximum);

// The end of the reply wait of a read beginning now: the wait in progress
// when ContinueReplyWait asked for it, else a new one `waitUs` from now or
// from `lineFreeAtUs` (when the frame sent has left the line), whichever is
// later. Every read takes it as it begins.
std::int64_t BeginReplyWait(ReceiveQueue& queue, std::int64_t lineFreeAtUs, std::int64_t waitUs);

// The frame the last read delivered was not the reply: the next read goes on
// with that read's wait; the one after it waits anew.
inline void ContinueReplyWait(ReceiveQueue& queue) {
    queue.waitGoesOn = true;
}

// When a read whose reply wait ends at `deadlineUs` is over: `deadlineUs`
// itself, unless a frame has begun and is still arriving, in which case the
// moment `quietUs` after its last bytes, but never later than the longest
// frame's line time after `deadlineUs`. Recompute it after every arrival.
std::int64_t ReplyWaitEndUs(const ReceiveQueue& queue, std::int64_t deadlineUs,
                            std::int64_t quietUs);

// The reply wait of the reads that follow, in microseconds.
inline std::int64_t ReplyWaitUs(const ReceiveQueue& queue) {
    return std::int64_t{queue.replyWaitMs} * 1000;
}

// Sets the LoneEcho rule for the reads that follow.
inline void ExpectLoneEcho(ReceiveQueue& queue, LoneEcho rule) {
    queue.loneEcho = rule;
}
