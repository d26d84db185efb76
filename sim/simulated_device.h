// A simulated Velmo 2.0 device on a pseudo-terminal, for tests, the demo and
// training. Start() creates the pair; the code under test opens SlavePath()
// as its serial port and talks to the device as it would over a real line.
// A serving thread reads the master side, cuts the bytes into frames, lets
// the device model answer and applies the configured faults.
//
// The line may carry several devices (SimOptions::devices), as an RS-485 bus
// does: each answers the requests to its own node from its own memory, and a
// request to a node nobody has goes unanswered. The accessors without a node
// speak of the first device.
//
// Every accessor may be called from any thread while the device serves.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_model.h"
#include "sim/device_responder.h"
#include "sim/pty_link.h"

struct SimOptions {
    DeviceConfig device;
    // The devices on the line, in order, each with its own node; when empty,
    // `device` alone. Of two with the same node only the first answers (two
    // real devices would talk over each other).
    std::vector<DeviceConfig> devices;
    // Bytes go out no faster than the real line carries them (57600 baud, ten
    // bits a byte), and a received frame counts only once its own line time
    // has passed since its first byte arrived.
    bool pace = false;
    // Share of frames, in each direction, damaged by the line: a damaged
    // request goes unanswered, a damaged reply fails its checksum. Decided by
    // a generator seeded with `seed`, so a run repeats exactly.
    double corruptShare = 0;
    std::uint32_t seed = 1;
    // The line closes once this many frames (STX to ETX, valid or not) have
    // been received; the last of them is not answered. -1 never.
    int unplugAfterFrames = -1;
    // A line closed by `unplugAfterFrames` comes back this long after, on a
    // new pseudo-terminal, as an adapter plugged in again; once only. -1
    // never. `lineChanged` is then told, on the serving thread, as the line
    // closes (an empty path) and as it comes back (the new slave's path).
    int replugAfterMs = -1;
    std::function<void(const std::string& slavePath)> lineChanged;
    // Pause before every reply.
    int replyDelayMs = 0;
    // Every frame in and out, as hex with a time stamp, on stderr.
    bool trace = false;
    // The line hands every received byte straight back, as a half-duplex
    // RS-485 adapter does with what its own side sends: the tool sees its
    // request before the reply.
    bool echo = false;
    // With `echo`: one byte of noise (never a start or end byte) before each
    // frame echoed, as an unbiased line reads while it floats at the
    // turnaround, before the adapter drives it.
    bool echoNoise = false;
    // In-process only: a reply that is to go out late (a delay) waits until
    // this returns true, and its delay counts from then. Lets a test be sure
    // that something it does lands before such a reply.
    std::function<bool()> lateReplyGate;
};

struct ReceivedRequest {
    std::vector<std::uint8_t> payload;  // decoded, checksum removed
    std::int64_t atUs;                  // SimulatedDevice::NowUs() when it counted as received
};

class SimulatedDevice {
  public:
    explicit SimulatedDevice(SimOptions options = {});
    ~SimulatedDevice();  // Stop()
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    // Creates the pseudo-terminal pair and starts serving. False (with
    // LastError() set) when the pair cannot be made, or when already started.
    bool Start();
    // Path of the slave side, for example /dev/pts/3; empty before Start().
    // A line that comes back (replugAfterMs) has a new one: ask it only
    // while the line is not coming back.
    const std::string& SlavePath() const;
    const std::string& LastError() const;
    // Ends the serving thread (within about 10 ms) and closes the line.
    void Stop();

    // A fault for every device on the line; each counts its own requests.
    void AddFault(const FaultRule& rule);
    // A fault for the device at `node` only; none there, nothing happens.
    void AddFault(std::uint8_t node, const FaultRule& rule);
    // Closes the line now, as a pulled cable; returns once it is closed.
    void Unplug();
    bool Unplugged() const;

    // Every decoded request frame, addressed to any node, in order.
    std::vector<ReceivedRequest> Requests() const;
    // Waits until at least `count` requests were decoded; false on time-out.
    bool WaitForRequests(std::size_t count, int timeoutMs) const;
    // Every STX..ETX frame received, valid or not.
    int FramesReceived() const;

    // Blocks stored by command 19 in the current write session.
    std::vector<std::array<std::uint8_t, 1030>> ModuleBlocks() const;
    int Activations() const;
    bool ApplicationStarted() const;
    // The same of the device at `node`: empty, 0 and false when there is none.
    std::vector<std::array<std::uint8_t, 1030>> ModuleBlocks(std::uint8_t node) const;
    int Activations(std::uint8_t node) const;
    bool ApplicationStarted(std::uint8_t node) const;

    // What the device serves; fixed for its whole life.
    const DeviceModel::Record& CalibrationRecord() const;
    const DeviceModel::Record& ConfigurationRecord(int index) const;  // 0 to 5
    std::vector<std::uint8_t> InfoRecord() const;  // the data of the reply to command 18
    // The nodes on the line, in the order of SimOptions::devices.
    std::vector<std::uint8_t> Nodes() const;
    // The model of the device at `node` (its served records, its identity);
    // nullptr when there is none. Its memory changes while the line serves:
    // read that through the accessors above.
    const DeviceModel* ModelAt(std::uint8_t node) const;

    // The clock of ReceivedRequest::atUs: std::chrono::steady_clock in µs.
    static std::int64_t NowUs();

  private:
    void Serve();
    void HandleFrame(const FrameCollector::Frame& frame);
    void Send(const ReplyPlan& plan);
    // Paced: no faster than the line carries them (the device's own replies).
    bool WriteBytes(const std::uint8_t* bytes, std::size_t count, bool paced);
    void Echo(const std::uint8_t* bytes, std::size_t count);
    // Sleeps until the time given, in slices, so that Stop and Unplug are
    // seen; false when one of them cut the sleep short.
    bool SleepUntil(std::int64_t deadlineUs);
    bool Interrupted() const;
    void CloseLine();
    // The line closed for `replugAfterMs` comes back when that is over.
    void ReplugWhenDue();
    // The responder answering `node`; nullptr when none does.
    DeviceResponder* ResponderFor(std::uint8_t node) const;
    ReplyPlan Respond(std::span<const std::uint8_t> request);
    void Trace(const char* direction, const std::vector<std::uint8_t>& bytes,
               const std::string& note) const;

    const SimOptions options_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // One a device, never empty; the first one also decides the line's damage
    // to received frames. Guarded by mutex_.
    std::vector<std::unique_ptr<DeviceResponder>> responders_;
    std::vector<ReceivedRequest> requests_;
    int framesReceived_ = 0;
    bool unplugged_ = false;
    std::int64_t unpluggedAtUs_ = 0;
    bool replugged_ = false;

    PtyLink link_;  // the serving thread's alone while it runs
    FrameCollector collector_;
    std::int64_t lineFreeAtUs_ = 0;
    std::int64_t startUs_ = 0;
    std::string lastError_;
    bool started_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> unplugRequested_{false};
    std::thread thread_;
};
