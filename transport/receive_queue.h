// The channel's own receive queue, the same on every platform.
//
// Bytes taken from the port are appended here; a reply is complete once an
// ETX stands in the queue, since ETX never occurs inside a frame. Drivers
// that signal the arrival of the event character, drivers that do not, and
// termios, which has no such event at all, all end in this one rule.
//
// The line's echo: a half-duplex RS-485 adapter hands every frame the tool
// sends straight back before the device answers. A received frame that is
// byte for byte the frame just sent is therefore held rather than delivered,
// and the wait goes on: a further frame before the wait ends is the reply.
// If none comes, the held frame was the reply after all (a device's answer
// to a request without data can have exactly the request's bytes), and it is
// delivered at the end of the wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frame_codec.h"

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
};

// Remembers the frame being written; frames longer than a frame buffer are
// never echoes of ours and are not kept.
void NoteFrameSent(ReceiveQueue& queue, const std::uint8_t* frame, std::size_t length);

// Forgets every received byte and a held echo (the purge at the start of an
// attempt). The frame last sent is kept: a listen-only attempt sends nothing.
void ClearReceiveQueue(ReceiveQueue& queue);

// Where the next bytes from the port go, and how many fit. A queue filled
// without any ETX holds nothing but line noise and is emptied first.
std::uint8_t* ReceiveSpace(ReceiveQueue& queue, std::size_t& room);
void ReceiveAppended(ReceiveQueue& queue, std::size_t added);

// True when a reply is complete. A leading frame identical to the frame
// just sent is taken out of the queue and held (once per frame sent).
bool ReplyComplete(ReceiveQueue& queue);

// Delivers min(queued, maximum) bytes from the front of the queue and keeps
// the rest. Returns the count, or kErrExchange when nothing is queued.
int DeliverQueued(ReceiveQueue& queue, std::uint8_t* buffer, int maximum);

// At the end of a wait without a reply: delivers the held frame as the
// reply, or kErrExchange when none is held.
int DeliverHeldEcho(ReceiveQueue& queue, std::uint8_t* buffer, int maximum);
