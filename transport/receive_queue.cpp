#include "transport/receive_queue.h"

#include <algorithm>
#include <cstring>

#include "protocol/result_code.h"

void NoteFrameSent(ReceiveQueue& queue, const std::uint8_t* frame, std::size_t length) {
    queue.echoHeld = false;
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
}

std::uint8_t* ReceiveSpace(ReceiveQueue& queue, std::size_t& room) {
    if (queue.count == sizeof queue.bytes && std::memchr(queue.bytes, kEtx, queue.count) == nullptr)
        queue.count = 0;
    room = sizeof queue.bytes - queue.count;
    return queue.bytes + queue.count;
}

void ReceiveAppended(ReceiveQueue& queue, std::size_t added) {
    queue.count = std::min(queue.count + added, sizeof queue.bytes);
}

namespace {

void DropFront(ReceiveQueue& queue, std::size_t length) {
    queue.count -= length;
    std::memmove(queue.bytes, queue.bytes + length, queue.count);
}

}  // namespace

bool ReplyComplete(ReceiveQueue& queue) {
    for (;;) {
        const auto* etx =
            static_cast<const std::uint8_t*>(std::memchr(queue.bytes, kEtx, queue.count));
        if (etx == nullptr) return false;
        const auto frameLength = static_cast<std::size_t>(etx - queue.bytes) + 1;
        const bool isEcho = !queue.echoHeld && queue.sentLength == frameLength &&
                            std::memcmp(queue.bytes, queue.sent, frameLength) == 0;
        if (!isEcho) return true;
        queue.echoHeld = true;
        DropFront(queue, frameLength);
    }
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
    queue.echoHeld = false;
    std::memcpy(buffer, queue.sent, queue.sentLength);
    return static_cast<int>(queue.sentLength);
}
