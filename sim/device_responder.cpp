#include "sim/device_responder.h"

#include <algorithm>
#include <limits>

#include "protocol/frame_codec.h"
#include "sim/option_text.h"

namespace {

constexpr int kDefaultStaleGapMs = 50;
constexpr int kDefaultSplitGapMs = 5;
constexpr int kDefaultNoiseBytes = 24;
// More noise than a receive queue holds shows nothing more.
constexpr int kMostNoiseBytes = 65536;

struct KindName {
    FaultKind kind;
    std::string_view name;
};
constexpr KindName kKindNames[] = {
    {FaultKind::kSilence, "silence"},
    {FaultKind::kStale, "stale"},
    {FaultKind::kBadChecksum, "bad-checksum"},
    {FaultKind::kOtherNode, "other-node"},
    {FaultKind::kRefuse, "refuse"},
    {FaultKind::kShortReply, "short"},
    {FaultKind::kDelay, "delay"},
    {FaultKind::kSplit, "split"},
    {FaultKind::kNoise, "noise"},
};

// A non-negative number as a rule's field, decimal or 0x hexadecimal.
std::optional<int> ParseInt(std::string_view text) {
    const auto value = ParseNumber(text, std::numeric_limits<int>::max());
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

void AppendNote(std::string& note, std::string_view what) {
    if (!note.empty()) note += ", ";
    note += what;
}

}  // namespace

std::string_view FaultKindName(FaultKind kind) {
    for (const auto& entry : kKindNames)
        if (entry.kind == kind) return entry.name;
    return "?";
}

std::optional<FaultKind> FaultKindFromName(std::string_view name) {
    for (const auto& entry : kKindNames)
        if (entry.name == name) return entry.kind;
    return std::nullopt;
}

std::optional<FaultRule> ParseFaultRule(std::string_view text) {
    const std::vector<std::string_view> parts = ColonFields(text);
    if (parts.size() < 3 || parts.size() > 5) return std::nullopt;

    FaultRule rule;
    if (parts[0] == "any" || parts[0] == "*") {
        rule.command = -1;
    } else {
        const auto command = ParseInt(parts[0]);
        if (!command || *command < 0 || *command > 255) return std::nullopt;
        rule.command = *command;
    }
    if (parts[1] == "every" || parts[1] == "*") {
        rule.occurrence = 0;
    } else {
        const auto occurrence = ParseInt(parts[1]);
        if (!occurrence || *occurrence < 0) return std::nullopt;
        rule.occurrence = *occurrence;
    }
    const auto kind = FaultKindFromName(parts[2]);
    if (!kind) return std::nullopt;
    rule.kind = *kind;
    if (parts.size() > 3) {
        const auto value = ParseInt(parts[3]);
        if (!value || *value < 0) return std::nullopt;
        rule.value = *value;
    } else if (rule.kind == FaultKind::kRefuse) {
        rule.value = DeviceModel::kErrBadBlock;
    } else if (rule.kind == FaultKind::kSplit) {
        rule.value = 2;
    } else if (rule.kind == FaultKind::kNoise) {
        rule.value = kDefaultNoiseBytes;
    } else if (rule.kind == FaultKind::kDelay) {
        return std::nullopt;  // a delay needs its length
    }
    if (parts.size() > 4) {
        const auto gap = ParseInt(parts[4]);
        if (!gap || *gap < 0) return std::nullopt;
        rule.gapMs = *gap;
    }
    if (rule.kind == FaultKind::kRefuse && rule.value > 255) return std::nullopt;
    return rule;
}

void FrameCollector::Feed(std::span<const std::uint8_t> bytes, std::int64_t nowUs,
                          std::vector<Frame>& out) {
    for (const std::uint8_t byte : bytes) {
        if (byte == kStx) {
            dropped_ += current_.size();  // an unfinished frame, if any
            current_.assign(1, byte);
            inFrame_ = true;
            firstByteUs_ = nowUs;
            continue;
        }
        if (!inFrame_) {
            ++dropped_;
            continue;
        }
        current_.push_back(byte);
        if (byte == kEtx) {
            out.push_back({std::move(current_), firstByteUs_});
            current_.clear();
            inFrame_ = false;
        } else if (current_.size() >= kFrameBufferSize) {
            // No frame the device could decode is this long: wait for the next STX.
            dropped_ += current_.size();
            current_.clear();
            inFrame_ = false;
        }
    }
}

void SimCorruptFrame(std::vector<std::uint8_t>& frame, std::size_t unit) {
    if (frame.size() < 3) return;
    // Positions of the units of the body: where each decoded byte begins.
    std::vector<std::size_t> starts;
    for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
        starts.push_back(i);
        if (frame[i] == kDle) ++i;
    }
    if (starts.empty()) return;
    const std::size_t at = starts[std::min(unit, starts.size() - 1)];
    if (frame[at] == kDle) {
        // Escaped STX and ETX trade places; an escaped DLE becomes an escaped
        // STX. The pair stays valid, the byte it stands for changes.
        std::uint8_t& second = frame[at + 1];
        second = second == 0x00 ? 0x01 : 0x00;
        return;
    }
    // A plain byte stays plain: flipping the top bit never yields 0x02, 0x03
    // or 0x10 from a byte that was none of them, except from 0x82, 0x83 and
    // 0x90, for which another bit serves.
    std::uint8_t changed = static_cast<std::uint8_t>(frame[at] ^ 0x80);
    if (changed == kStx || changed == kEtx || changed == kDle)
        changed = static_cast<std::uint8_t>(frame[at] ^ 0x40);
    frame[at] = changed;
}

std::vector<std::uint8_t> SimEncodeFrame(std::span<const std::uint8_t> payload) {
    auto buffers = std::make_unique<FrameBuffers>();
    const std::size_t length = std::min(payload.size(), kPayloadBufferSize);
    std::copy_n(payload.begin(), length, buffers->PayloadBuffer);
    const int frameLength = EncodeFrame(*buffers, static_cast<int>(length));
    return {buffers->TxFrameBuffer, buffers->TxFrameBuffer + frameLength};
}

DeviceResponder::DeviceResponder(DeviceConfig config, double corruptShare, std::uint32_t seed,
                                 int replyDelayMs)
    : model_(config),
      corruptShare_(std::clamp(corruptShare, 0.0, 1.0)),
      random_(seed),
      replyDelayMs_(std::max(0, replyDelayMs)),
      buffers_(std::make_unique<FrameBuffers>()) {}

DeviceResponder::~DeviceResponder() = default;

void DeviceResponder::AddFault(const FaultRule& rule) {
    rules_.push_back(rule);
}

bool DeviceResponder::LineCorrupts() {
    if (corruptShare_ <= 0) return false;
    // One draw per frame, converted by hand: the standard distributions may
    // differ between libraries, the raw generator does not.
    return static_cast<double>(random_()) / 4294967296.0 < corruptShare_;
}

std::optional<std::vector<std::uint8_t>> DeviceResponder::Decode(
    std::span<const std::uint8_t> frame, bool* lineCorrupted) {
    const bool corrupted = LineCorrupts();
    if (lineCorrupted != nullptr) *lineCorrupted = corrupted;
    if (corrupted || frame.empty() || frame.size() > kFrameBufferSize) return std::nullopt;
    std::copy(frame.begin(), frame.end(), buffers_->RxFrameBuffer);
    int length = 0;
    if (DecodeFrame(*buffers_, static_cast<int>(frame.size()), length) != kResultOk)
        return std::nullopt;
    return std::vector<std::uint8_t>(buffers_->PayloadBuffer, buffers_->PayloadBuffer + length);
}

ReplyPlan DeviceResponder::Respond(std::span<const std::uint8_t> request) {
    ReplyPlan plan;
    if (!model_.Addressed(request)) {
        plan.note = "not for this device";
        return plan;
    }
    const std::uint8_t command = request[2];
    ++perCommand_[command];
    ++total_;

    std::vector<const FaultRule*> active;
    for (const FaultRule& rule : rules_) {
        if (rule.command >= 0 && rule.command != command) continue;
        const int seen = rule.command < 0 ? total_ : perCommand_[command];
        if (rule.occurrence != 0 && rule.occurrence != seen) continue;
        active.push_back(&rule);
    }
    auto find = [&active](FaultKind kind) -> const FaultRule* {
        for (const FaultRule* rule : active)
            if (rule->kind == kind) return rule;
        return nullptr;
    };

    std::vector<std::uint8_t> payload;
    std::string note;
    if (const FaultRule* refuse = find(FaultKind::kRefuse)) {
        payload = DeviceModel::Refusal(request, static_cast<std::uint8_t>(refuse->value));
        AppendNote(note, "refused");
    } else {
        payload = *model_.Handle(request);
    }
    if (const FaultRule* cut = find(FaultKind::kShortReply)) {
        const auto length = std::max<std::size_t>(
            DeviceModel::kHeaderSize, static_cast<std::size_t>(std::max(0, cut->value)));
        payload.resize(std::min(payload.size(), length));
        AppendNote(note, "short");
    }
    if (find(FaultKind::kOtherNode) != nullptr) {
        payload[1] = static_cast<std::uint8_t>(payload[1] + 1);
        AppendNote(note, "other node");
    }
    if (find(FaultKind::kSilence) != nullptr) {
        plan.note = "silenced";
        return plan;
    }

    Transmission reply;
    reply.frame = SimEncodeFrame(payload);
    reply.delayMs = replyDelayMs_;
    if (const FaultRule* delay = find(FaultKind::kDelay)) reply.delayMs = std::max(0, delay->value);
    const FaultRule* noise = find(FaultKind::kNoise);
    if (noise != nullptr) {
        // Any byte but the two that frame: a receiver sees a line that is
        // alive but never a frame's end.
        const int count =
            std::clamp(noise->value > 0 ? noise->value : kDefaultNoiseBytes, 1, kMostNoiseBytes);
        reply.frame.clear();
        while (static_cast<int>(reply.frame.size()) < count) {
            const auto byte = static_cast<std::uint8_t>(random_() >> 24);
            if (byte != kStx && byte != kEtx) reply.frame.push_back(byte);
        }
        AppendNote(note, "noise");
    } else if (find(FaultKind::kBadChecksum) != nullptr) {
        SimCorruptFrame(reply.frame, SIZE_MAX);
        AppendNote(note, "bad checksum");
    }
    if (const FaultRule* split = find(FaultKind::kSplit)) {
        reply.pieces = std::max(2, split->value);
        reply.gapMs = split->gapMs >= 0 ? split->gapMs : kDefaultSplitGapMs;
        AppendNote(note, "split");
    }
    reply.note = note;

    if (const FaultRule* stale = find(FaultKind::kStale)) {
        Transmission old;
        std::vector<std::uint8_t> oldPayload = payload;
        oldPayload[0] = static_cast<std::uint8_t>(oldPayload[0] - 1);
        old.frame = SimEncodeFrame(oldPayload);
        old.delayMs = reply.delayMs;
        old.note = "stale";
        reply.delayMs = stale->gapMs >= 0 ? stale->gapMs : kDefaultStaleGapMs;
        plan.transmissions.push_back(std::move(old));
    }
    plan.transmissions.push_back(std::move(reply));

    for (Transmission& sent : plan.transmissions) {
        if (noise != nullptr && &sent == &plan.transmissions.back()) continue;  // nothing to damage
        if (LineCorrupts()) {
            SimCorruptFrame(sent.frame, random_() % (sent.frame.size() - 2));
            AppendNote(sent.note, "damaged by the line");
        }
    }
    return plan;
}
