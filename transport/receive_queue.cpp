#include "transport/receive_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "protocol/result_code.h"
#include "transport/line_timing.h"

std::int64_t ReceiveClockUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void ResetReceiveQueue(ReceiveQueue& queue) {
    ClearReceiveQueue(queue);
    queue.sentLength = 0;
    queue.lineEcho = LineEcho::kUnknown;
    queue.loneEcho = LoneEcho::kReplyUnlessEchoes;
    queue.replyWaitMs = kReplyWaitMs;
}

void NoteFrameSent(ReceiveQueue& queue, const std::uint8_t* frame, std::size_t length) {
    queue.echoHeld = false;
    queue.teaching = true;
    if (length > sizeof queue.sent) {
        queue.sentLength = 0;
        return;
    }
    std::memcpy(queue.sent, frame, length);
    queue.sentLength = length;
}

void ClearReceiveQueue(ReceiveQueue& queue) {
    queue.count = 0;
    queue.echoHeld = false;
    queue.teaching = false;
    queue.lastArrivalUs = 0;
}

std::uint8_t* ReceiveSpace(ReceiveQueue& queue, std::size_t& room) {
    if (queue.count == sizeof queue.bytes && std::memchr(queue.bytes, kEtx, queue.count) == nullptr)
        queue.count = 0;
    room = sizeof queue.bytes - queue.count;
    return queue.bytes + queue.count;
}

void ReceiveAppended(ReceiveQueue& queue, std::size_t added) {
    if (added == 0) return;
    queue.count = std::min(queue.count + added, sizeof queue.bytes);
    queue.lastArrivalUs = ReceiveClockUs();
}

namespace {

void DropFront(ReceiveQueue& queue, std::size_t length) {
    queue.count -= length;
    std::memmove(queue.bytes, queue.bytes + length, queue.count);
}

// The first frame after a frame sent has completed; `afterEcho` tells
// whether the request's own bytes came before it.
void Learn(ReceiveQueue& queue, bool afterEcho) {
    if (!queue.teaching) return;
    queue.teaching = false;
    if (afterEcho) {
        queue.lineEcho = LineEcho::kEchoes;
    } else if (queue.lineEcho == LineEcho::kUnknown) {
        queue.lineEcho = LineEcho::kClean;
    }
}

// Length of the queue's front up to and including its first ETX; 0 when
// there is none.
std::size_t FrontFrameLength(const ReceiveQueue& queue) {
    const auto* etx = static_cast<const std::uint8_t*>(std::memchr(queue.bytes, kEtx, queue.count));
    return etx == nullptr ? 0 : static_cast<std::size_t>(etx - queue.bytes) + 1;
}

}  // namespace

bool ReplyComplete(ReceiveQueue& queue) {
    for (;;) {
        // Noise before a frame's STX is no part of it.
        const auto* stx =
            static_cast<const std::uint8_t*>(std::memchr(queue.bytes, kStx, queue.count));
        std::size_t frameLength = FrontFrameLength(queue);
        if (stx != nullptr && (frameLength == 0 || stx < queue.bytes + frameLength)) {
            DropFront(queue, static_cast<std::size_t>(stx - queue.bytes));
            frameLength = FrontFrameLength(queue);
        }
        if (frameLength == 0) return false;
        // A damaged reply whose STX was lost: delivered, but no sign of what
        // the line does.
        if (queue.bytes[0] != kStx) return true;
        const bool isEcho = !queue.echoHeld && queue.sentLength == frameLength &&
                            std::memcmp(queue.bytes, queue.sent, frameLength) == 0;
        if (!isEcho) {
            Learn(queue, queue.echoHeld);
            return true;
        }
        queue.echoHeld = true;
        DropFront(queue, frameLength);
    }
}

int DeliverReply(ReceiveQueue& queue, std::uint8_t* buffer, int maximum) {
    const auto frameLength = static_cast<int>(FrontFrameLength(queue));  // at most the queue's size
    return DeliverQueued(queue, buffer, std::min(frameLength, maximum));
}

int DeliverQueued(ReceiveQueue& queue, std::uint8_t* buffer, int maximum) {
    if (maximum <= 0) return kErrExchange;
    const std::size_t count = std::min(queue.count, static_cast<std::size_t>(maximum));
    if (count == 0) return kErrExchange;
    std::memcpy(buffer, queue.bytes, count);
    DropFront(queue, count);
    queue.echoHeld = false;
    return static_cast<int>(count);
}

int DeliverHeldEcho(ReceiveQueue& queue, std::uint8_t* buffer, int maximum) {
    if (!queue.echoHeld || maximum <= 0 || queue.sentLength > static_cast<std::size_t>(maximum))
        return kErrExchange;
    bool isReply = false;
    switch (queue.loneEcho) {
        case LoneEcho::kReplyUnlessEchoes:
            isReply = queue.lineEcho != LineEcho::kEchoes;
            break;
        case LoneEcho::kSilenceUnlessClean:
            isReply = queue.lineEcho == LineEcho::kClean;
            break;
        case LoneEcho::kSilence:
            break;
    }
    if (!isReply) return kErrExchange;
    queue.echoHeld = false;
    std::memcpy(buffer, queue.sent, queue.sentLength);
    return static_cast<int>(queue.sentLength);
}

std::int64_t BeginReplyWait(ReceiveQueue& queue, std::int64_t lineFreeAtUs, std::int64_t waitUs) {
    if (!queue.waitGoesOn) queue.waitEndUs = std::max(ReceiveClockUs(), lineFreeAtUs) + waitUs;
    queue.waitGoesOn = false;
    return queue.waitEndUs;
}

std::int64_t ReplyWaitEndUs(const ReceiveQueue& queue, std::int64_t deadlineUs,
                            std::int64_t quietUs) {
    // A frame has begun when an STX follows the last ETX (or stands in a
    // queue without any). Bytes without one are noise: a reply whose STX was
    // lost cannot be decoded, and waiting for its end would only delay the
    // next attempt.
    std::size_t from = queue.count;
    while (from > 0 && queue.bytes[from - 1] != kEtx)
        --from;
    if (std::memchr(queue.bytes + from, kStx, queue.count - from) == nullptr) return deadlineUs;
    const std::int64_t latestUs =
        deadlineUs + LineTimeUs(static_cast<std::int64_t>(kFrameBufferSize));
    return std::max(deadlineUs, std::min(latestUs, queue.lastArrivalUs + quietUs));
}
