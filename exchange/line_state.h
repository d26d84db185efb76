// Everything that belongs to one serial line: the open channel, the three
// frame buffers and the sequence number. Programs keep one static instance;
// each test makes its own. Fixed-size arrays only.
#pragma once

#include <cstdint>

#include "protocol/frame_codec.h"
#include "transport/serial_channel.h"

class Event;

// Optional observer of every frame written and every block of bytes read, for
// a byte trace on the technician's request. Called on the worker thread.
enum class TraceDirection { Sent, Received };
using FrameTraceFn = void (*)(void* context, TraceDirection direction, const std::uint8_t* bytes,
                              int count);

struct LineState : FrameBuffers {
    // Advanced once by every exchange that sent something; never reset.
    std::uint8_t SequenceNumber = 0;
    SerialChannel channel{};
    // The command event, tested by the channel when a read must wait.
    const Event* abortEvent = nullptr;
    // Also test it before every frame sent, so that nothing more goes out
    // once it is set (a rollout's abort). Without it, as the dialog's Stop
    // has it, an attempt whose wait ended without a reply sends once more
    // and its read then sees the event.
    bool abortBeforeSend = false;
    FrameTraceFn trace = nullptr;
    void* traceContext = nullptr;
};
