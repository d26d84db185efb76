// Everything between the bytes on the line and the device model that does not
// need the operating system: cutting the received bytes into frames, decoding
// them, and working out what goes back, faults included. The link executes
// the plan (pauses, pieces, pacing); this layer only decides, so the faults
// can be tested without a terminal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device_model.h"

struct FrameBuffers;

// Faults the device can be told to commit. Each applies to the requests a
// FaultRule selects; several rules may select the same request and combine
// (a stale reply that is also split, say). Except for kRefuse the device
// still executes the request; only its reply suffers, as if the reply had
// been lost or damaged on the way back.
enum class FaultKind {
    kSilence,      // no reply at all
    kStale,        // first a copy of the reply carrying the previous sequence number,
                   // then after gapMs (default 50) the right one
    kBadChecksum,  // the reply's checksum byte is wrong; the frame is otherwise well formed
    kOtherNode,    // right sequence number, node + 1
    kRefuse,       // not executed; refused with error byte `value`
    kShortReply,   // cut to `value` bytes, at least the three of sequence number, node and
                   // command (the default: no status byte)
    kDelay,        // the reply goes out `value` ms after the request was received
    kSplit,        // the reply is written in `value` pieces (at least 2), gapMs apart (default 5)
    kNoise,        // in place of the reply `value` bytes (default 24) of noise without STX or
                   // ETX: the line shows bytes but never a frame's end
};

struct FaultRule {
    int command = -1;    // the command it applies to; -1 any
    int occurrence = 0;  // 1-based: the Nth request of that command; 0 every one
    FaultKind kind = FaultKind::kSilence;
    int value = 0;   // error byte, delay in ms or number of pieces
    int gapMs = -1;  // kStale and kSplit: the pause they use; -1 for the default
};

// "silence", "stale", "bad-checksum", "other-node", "refuse", "short", "delay", "split",
// "noise".
std::string_view FaultKindName(FaultKind kind);
std::optional<FaultKind> FaultKindFromName(std::string_view name);

// Reads a rule written as COMMAND:OCCURRENCE:KIND[:VALUE[:GAP]]; COMMAND may be
// "any", OCCURRENCE "every". Nothing when the text is not a valid rule.
std::optional<FaultRule> ParseFaultRule(std::string_view text);

// One frame the device sends, and how.
struct Transmission {
    std::vector<std::uint8_t> frame;  // encoded, STX to ETX (or the noise sent instead)
    int delayMs = 0;                  // pause before the first byte
    int pieces = 1;                   // written in this many parts
    int gapMs = 0;                    // pause between parts
    std::string note;                 // what was done to it, for the trace
};

struct ReplyPlan {
    std::vector<Transmission> transmissions;  // in order; empty for no reply
    std::string note;                         // why nothing or something unusual happens
};

// Cuts received bytes into frames: everything from an STX to the next ETX.
// Bytes outside a frame are noise and dropped; a second STX inside a frame
// starts the frame over; a frame that outgrows the receive buffer is dropped.
class FrameCollector {
  public:
    struct Frame {
        std::vector<std::uint8_t> bytes;
        std::int64_t firstByteUs = 0;  // when the read that brought its STX happened
    };

    void Feed(std::span<const std::uint8_t> bytes, std::int64_t nowUs, std::vector<Frame>& out);
    std::size_t DroppedBytes() const { return dropped_; }

  private:
    std::vector<std::uint8_t> current_;
    bool inFrame_ = false;
    std::int64_t firstByteUs_ = 0;
    std::size_t dropped_ = 0;
};

// Damages one unit of a well-formed frame (a plain byte, or the second byte of
// an escape pair) so that it still has valid framing and escapes but fails the
// checksum. `unit` counts the decoded bytes, checksum last; larger values
// select the checksum.
void SimCorruptFrame(std::vector<std::uint8_t>& frame, std::size_t unit);

// Frame of a payload, built with the project's codec.
std::vector<std::uint8_t> SimEncodeFrame(std::span<const std::uint8_t> payload);

class DeviceResponder {
  public:
    // corruptShare: share of frames, in each direction, that the line damages
    // (decided by a generator seeded with `seed`, so a run can be repeated).
    // replyDelayMs: pause before every reply.
    explicit DeviceResponder(DeviceConfig config = {}, double corruptShare = 0,
                             std::uint32_t seed = 1, int replyDelayMs = 0);
    ~DeviceResponder();
    DeviceResponder(const DeviceResponder&) = delete;
    DeviceResponder& operator=(const DeviceResponder&) = delete;

    void AddFault(const FaultRule& rule);

    // Decodes one collected frame into its payload. Nothing when the frame is
    // malformed or the line's corruption picked it; *lineCorrupted tells which.
    std::optional<std::vector<std::uint8_t>> Decode(std::span<const std::uint8_t> frame,
                                                    bool* lineCorrupted = nullptr);

    // What the device sends in answer to one decoded request.
    ReplyPlan Respond(std::span<const std::uint8_t> request);

    const DeviceModel& Model() const { return model_; }

  private:
    bool LineCorrupts();

    DeviceModel model_;
    std::vector<FaultRule> rules_;
    std::array<int, 256> perCommand_{};  // requests seen, by command
    int total_ = 0;                      // requests seen, any command
    double corruptShare_;
    std::mt19937 random_;
    int replyDelayMs_;
    std::unique_ptr<FrameBuffers> buffers_;
};
