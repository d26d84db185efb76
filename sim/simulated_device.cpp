#include "sim/simulated_device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "protocol/frame_codec.h"
#include "transport/line_timing.h"

namespace {

// Longest single wait of the serving thread: Stop and Unplug take effect
// within about this time.
constexpr int kSliceMs = 10;
// A reply that the line does not take for this long is dropped (nobody is
// reading the slave and its queue is full).
constexpr std::int64_t kStuckWriteUs = 500'000;
// With pacing, bytes are written in chunks of this size: about 1 ms of line
// time each.
constexpr std::size_t kPacedChunk = 6;
// What a floating line reads as at the turnaround: a start bit and nothing
// after it.
constexpr std::uint8_t kEchoNoise = 0x00;

}  // namespace

SimulatedDevice::SimulatedDevice(SimOptions options) : options_(std::move(options)) {
    const std::vector<DeviceConfig> single{options_.device};
    const auto& devices = options_.devices.empty() ? single : options_.devices;
    // Each device damages its own replies from a generator of its own; the
    // first keeps the line's seed, so a line of one device repeats exactly
    // what it did before there could be more.
    std::uint32_t seed = options_.seed;
    for (const DeviceConfig& config : devices) {
        responders_.push_back(std::make_unique<DeviceResponder>(config, options_.corruptShare,
                                                                seed++, options_.replyDelayMs));
    }
}

SimulatedDevice::~SimulatedDevice() {
    Stop();
}

std::int64_t SimulatedDevice::NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool SimulatedDevice::Start() {
    if (started_) {
        lastError_ = "already started";
        return false;
    }
    if (!link_.Open()) {
        lastError_ = link_.LastError();
        return false;
    }
    started_ = true;
    startUs_ = NowUs();
    thread_ = std::thread([this] { Serve(); });
    return true;
}

const std::string& SimulatedDevice::SlavePath() const {
    return link_.SlavePath();
}

const std::string& SimulatedDevice::LastError() const {
    return lastError_;
}

void SimulatedDevice::Stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    CloseLine();
}

void SimulatedDevice::AddFault(const FaultRule& rule) {
    std::lock_guard lock(mutex_);
    for (const auto& responder : responders_)
        responder->AddFault(rule);
}

void SimulatedDevice::AddFault(std::uint8_t node, const FaultRule& rule) {
    std::lock_guard lock(mutex_);
    if (DeviceResponder* responder = ResponderFor(node)) responder->AddFault(rule);
}

DeviceResponder* SimulatedDevice::ResponderFor(std::uint8_t node) const {
    for (const auto& responder : responders_)
        if (responder->Model().Config().node == node) return responder.get();
    return nullptr;
}

void SimulatedDevice::Unplug() {
    if (!thread_.joinable()) {
        CloseLine();
        return;
    }
    unplugRequested_ = true;
    std::unique_lock lock(mutex_);
    // The serving thread looks at the request at least every slice.
    changed_.wait_for(lock, std::chrono::seconds(2), [this] { return unplugged_; });
}

bool SimulatedDevice::Unplugged() const {
    std::lock_guard lock(mutex_);
    return unplugged_;
}

void SimulatedDevice::CloseLine() {
    bool tell = false;
    {
        // Under the lock, so that whoever sees the hang-up and then asks
        // Unplugged() gets true.
        std::lock_guard lock(mutex_);
        tell = link_.IsOpen() && options_.replugAfterMs >= 0 && !replugged_;
        link_.Close();
        unplugged_ = true;
        unpluggedAtUs_ = NowUs();
        changed_.notify_all();
    }
    if (tell && options_.lineChanged) options_.lineChanged("");
}

void SimulatedDevice::ReplugWhenDue() {
    {
        std::lock_guard lock(mutex_);
        if (options_.replugAfterMs < 0 || replugged_ || stopping_ ||
            NowUs() < unpluggedAtUs_ + std::int64_t{options_.replugAfterMs} * 1000)
            return;
        replugged_ = true;
        if (!link_.Open()) {
            lastError_ = link_.LastError();
            return;
        }
        unplugged_ = false;
        unplugRequested_ = false;
        collector_ = FrameCollector{};
        changed_.notify_all();
    }
    if (options_.lineChanged) options_.lineChanged(link_.SlavePath());
}

std::vector<ReceivedRequest> SimulatedDevice::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool SimulatedDevice::WaitForRequests(std::size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= count; });
}

int SimulatedDevice::FramesReceived() const {
    std::lock_guard lock(mutex_);
    return framesReceived_;
}

std::vector<std::array<std::uint8_t, 1030>> SimulatedDevice::ModuleBlocks() const {
    return ModuleBlocks(responders_.front()->Model().Config().node);
}

int SimulatedDevice::Activations() const {
    return Activations(responders_.front()->Model().Config().node);
}

bool SimulatedDevice::ApplicationStarted() const {
    return ApplicationStarted(responders_.front()->Model().Config().node);
}

std::vector<std::array<std::uint8_t, 1030>> SimulatedDevice::ModuleBlocks(std::uint8_t node) const {
    std::lock_guard lock(mutex_);
    const DeviceResponder* responder = ResponderFor(node);
    return responder != nullptr ? responder->Model().ModuleBlocks()
                                : std::vector<std::array<std::uint8_t, 1030>>{};
}

int SimulatedDevice::Activations(std::uint8_t node) const {
    std::lock_guard lock(mutex_);
    const DeviceResponder* responder = ResponderFor(node);
    return responder != nullptr ? responder->Model().Activations() : 0;
}

bool SimulatedDevice::ApplicationStarted(std::uint8_t node) const {
    std::lock_guard lock(mutex_);
    const DeviceResponder* responder = ResponderFor(node);
    return responder != nullptr && responder->Model().ApplicationStarted();
}

// The served records and the identity are made at construction and never
// change, and the list of devices is fixed, so these need no lock.
const DeviceModel::Record& SimulatedDevice::CalibrationRecord() const {
    return responders_.front()->Model().CalibrationRecord();
}

const DeviceModel::Record& SimulatedDevice::ConfigurationRecord(int index) const {
    return responders_.front()->Model().ConfigurationRecord(index);
}

std::vector<std::uint8_t> SimulatedDevice::InfoRecord() const {
    return responders_.front()->Model().InfoRecord();
}

std::vector<std::uint8_t> SimulatedDevice::Nodes() const {
    std::vector<std::uint8_t> nodes;
    for (const auto& responder : responders_)
        nodes.push_back(responder->Model().Config().node);
    return nodes;
}

const DeviceModel* SimulatedDevice::ModelAt(std::uint8_t node) const {
    const DeviceResponder* responder = ResponderFor(node);
    return responder != nullptr ? &responder->Model() : nullptr;
}

bool SimulatedDevice::Interrupted() const {
    return stopping_ || unplugRequested_;
}

bool SimulatedDevice::SleepUntil(std::int64_t deadlineUs) {
    for (;;) {
        if (Interrupted()) return false;
        const std::int64_t left = deadlineUs - NowUs();
        if (left <= 0) return true;
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::min<std::int64_t>(left, kSliceMs * 1000)));
    }
}

void SimulatedDevice::Serve() {
    if (options_.unplugAfterFrames == 0) CloseLine();
    std::vector<std::uint8_t> buffer(4096);
    std::vector<FrameCollector::Frame> frames;
    while (!stopping_) {
        if (unplugRequested_ && link_.IsOpen()) CloseLine();
        if (!link_.IsOpen()) ReplugWhenDue();
        if (!link_.IsOpen()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
            continue;
        }
        const int got = link_.Read(buffer.data(), buffer.size(), kSliceMs);
        if (got < 0) {
            CloseLine();
            continue;
        }
        if (got == 0) continue;
        if (options_.echo) Echo(buffer.data(), static_cast<std::size_t>(got));
        collector_.Feed({buffer.data(), static_cast<std::size_t>(got)}, NowUs(), frames);
        for (const auto& frame : frames) {
            if (!link_.IsOpen() || Interrupted()) break;
            HandleFrame(frame);
        }
        frames.clear();
    }
}

void SimulatedDevice::HandleFrame(const FrameCollector::Frame& frame) {
    // On a real line the frame is complete only once all its bytes have
    // crossed it; the pseudo-terminal delivers them at once.
    if (options_.pace &&
        !SleepUntil(frame.firstByteUs + LineTimeUs(static_cast<std::int64_t>(frame.bytes.size()))))
        return;

    ReplyPlan plan;
    std::string note;
    bool unplugNow = false;
    {
        std::lock_guard lock(mutex_);
        ++framesReceived_;
        bool lineCorrupted = false;
        const auto payload = responders_.front()->Decode(frame.bytes, &lineCorrupted);
        unplugNow = options_.unplugAfterFrames > 0 &&
                    framesReceived_ >= options_.unplugAfterFrames && !replugged_;
        if (payload) {
            requests_.push_back({*payload, NowUs()});
            if (!unplugNow) {
                plan = Respond(*payload);
                note = plan.note;
            }
        } else {
            note = lineCorrupted ? "damaged by the line, ignored" : "malformed, ignored";
        }
        changed_.notify_all();
    }
    if (unplugNow) note = "unplugging";
    Trace("rx", frame.bytes, note);
    if (unplugNow) {
        CloseLine();
        return;
    }
    Send(plan);
}

ReplyPlan SimulatedDevice::Respond(std::span<const std::uint8_t> request) {
    // Only the device at the request's node hears it as addressed to it; the
    // others do not even count it towards their faults.
    DeviceResponder* responder =
        request.size() >= DeviceModel::kHeaderSize ? ResponderFor(request[1]) : nullptr;
    if (responder != nullptr) return responder->Respond(request);
    ReplyPlan plan;
    plan.note = "no device at this node";
    return plan;
}

void SimulatedDevice::Send(const ReplyPlan& plan) {
    for (const Transmission& sent : plan.transmissions) {
        if (sent.delayMs > 0 && options_.lateReplyGate) {
            while (!options_.lateReplyGate()) {
                if (!SleepUntil(NowUs() + 2000)) return;
            }
        }
        if (!SleepUntil(NowUs() + static_cast<std::int64_t>(sent.delayMs) * 1000)) return;
        Trace("tx", sent.frame, sent.note);
        const std::size_t size = sent.frame.size();
        const auto pieces = static_cast<std::size_t>(std::max(1, sent.pieces));
        for (std::size_t i = 0; i < pieces; ++i) {
            const std::size_t from = i * size / pieces;
            const std::size_t to = (i + 1) * size / pieces;
            if (i > 0 && !SleepUntil(NowUs() + static_cast<std::int64_t>(sent.gapMs) * 1000))
                return;
            if (!WriteBytes(sent.frame.data() + from, to - from, options_.pace)) return;
        }
    }
}

bool SimulatedDevice::WriteBytes(const std::uint8_t* bytes, std::size_t count, bool paced) {
    const std::int64_t start = std::max(NowUs(), lineFreeAtUs_);
    if (paced) lineFreeAtUs_ = start + LineTimeUs(static_cast<std::int64_t>(count));
    std::size_t sent = 0;
    std::int64_t progressUs = NowUs();
    while (sent < count) {
        std::size_t chunk = count - sent;
        if (paced) {
            // A chunk goes out only when the line would have carried it whole.
            chunk = std::min(chunk, kPacedChunk);
            if (!SleepUntil(start + LineTimeUs(static_cast<std::int64_t>(sent + chunk))))
                return false;
        }
        const int put = link_.Write(bytes + sent, chunk, kSliceMs);
        if (put < 0) {
            CloseLine();
            return false;
        }
        const std::int64_t now = NowUs();
        if (put > 0)
            progressUs = now;
        else if (Interrupted() || now - progressUs > kStuckWriteUs)
            return false;
        sent += static_cast<std::size_t>(put);
    }
    return true;
}

void SimulatedDevice::Echo(const std::uint8_t* bytes, std::size_t count) {
    // The adapter's echo is not paced by the device: it crosses the line
    // while the request does.
    std::vector<std::uint8_t> echoed;
    echoed.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        if (options_.echoNoise && bytes[i] == kStx) echoed.push_back(kEchoNoise);
        echoed.push_back(bytes[i]);
    }
    if (options_.trace) Trace("echo", echoed, "");
    (void)WriteBytes(echoed.data(), echoed.size(), false);
}

void SimulatedDevice::Trace(const char* direction, const std::vector<std::uint8_t>& bytes,
                            const std::string& note) const {
    if (!options_.trace) return;
    std::string line;
    line.reserve(bytes.size() * 3 + note.size() + 32);
    char head[48];
    std::snprintf(head, sizeof head, "[%10.3f ms] %s",
                  static_cast<double>(NowUs() - startUs_) / 1000.0, direction);
    line += head;
    for (const std::uint8_t byte : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", byte);
        line += hex;
    }
    if (!note.empty()) line += "  (" + note + ")";
    line += '\n';
    std::fputs(line.c_str(), stderr);
}
