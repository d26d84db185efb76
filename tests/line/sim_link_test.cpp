// The simulated device over a real pseudo-terminal, driven through plain
// POSIX calls on the slave side.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <numeric>

#include "request_payload.h"
#include "sim/simulated_device.h"
#include "slave_port.h"
#include "transport/line_timing.h"

namespace {

using slave_port::Bytes;
using slave_port::Decode;
using slave_port::NowMs;
using slave_port::SlavePort;

// Far above the ~1 ms the device needs; only a missing reply takes this long.
constexpr int kReplyTimeoutMs = 2000;
// How long a test waits to be sure that no reply comes.
constexpr int kSilenceMs = 300;

Bytes Request(std::uint8_t seq, std::uint8_t command, const Bytes& data = {},
              std::uint8_t node = 255) {
    return RequestPayload(seq, node, command, data);
}

Bytes Frame(const Bytes& payload) {
    return SimEncodeFrame(payload);
}

// Every byte value, so a translating terminal (CR to LF, XON/XOFF, ^C) would
// show in the stored block.
Bytes EveryByteBlock(std::uint8_t start) {
    Bytes block(DeviceModel::kRecordSize);
    std::iota(block.begin(), block.end(), start);
    return block;
}

class SimLink : public ::testing::Test {
  protected:
    void Begin(SimOptions options = {}) {
        device = std::make_unique<SimulatedDevice>(options);
        ASSERT_TRUE(device->Start()) << device->LastError();
        port = std::make_unique<SlavePort>(device->SlavePath());
        ASSERT_TRUE(port->IsOpen());
    }
    void TearDown() override {
        port.reset();
        if (device) device->Stop();
    }

    // Sends one request and returns the decoded reply; nothing when none came.
    std::optional<Bytes> Transact(const Bytes& request, int timeoutMs = kReplyTimeoutMs) {
        EXPECT_TRUE(port->Send(Frame(request)));
        const Bytes frame = port->ReadFrame(timeoutMs);
        if (frame.empty()) return std::nullopt;
        return Decode(frame);
    }

    std::unique_ptr<SimulatedDevice> device;
    std::unique_ptr<SlavePort> port;
};

TEST_F(SimLink, IdentifiesOverTheLineAndRecordsEveryRequest) {
    Begin();
    const std::int64_t before = SimulatedDevice::NowUs();
    EXPECT_EQ(Transact(Request(0, 16)), (Bytes{0, 255, 16, 6}));
    const auto info = Transact(Request(1, 18));
    ASSERT_TRUE(info);
    ASSERT_EQ(info->size(), 4u + 25u);
    EXPECT_EQ(Bytes(info->begin() + 4, info->end()), device->InfoRecord());

    const auto requests = device->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].payload, Request(0, 16));
    EXPECT_EQ(requests[1].payload, Request(1, 18));
    EXPECT_GE(requests[0].atUs, before);
    EXPECT_LE(requests[0].atUs, requests[1].atUs);
    EXPECT_EQ(device->FramesReceived(), 2);
}

TEST_F(SimLink, IgnoresNoiseGarbledFramesAndOtherNodes) {
    Begin();
    // Noise before the frame is dropped; the frame itself is answered.
    Bytes noisy{0x55, 0xAA, 0x03, 0x10};
    const Bytes frame = Frame(Request(0, 16));
    noisy.insert(noisy.end(), frame.begin(), frame.end());
    ASSERT_TRUE(port->Send(noisy));
    EXPECT_EQ(Decode(port->ReadFrame(kReplyTimeoutMs)), (Bytes{0, 255, 16, 6}));

    Bytes garbled = Frame(Request(1, 16));
    garbled[1] ^= 0x40;
    ASSERT_TRUE(port->Send(garbled));
    ASSERT_TRUE(port->Send(Frame(Request(2, 16, {}, 7))));
    EXPECT_TRUE(port->ReadFrame(kSilenceMs).empty());

    EXPECT_EQ(device->FramesReceived(), 3);
    const auto requests = device->Requests();
    ASSERT_EQ(requests.size(), 2u);  // the garbled frame never decoded
    EXPECT_EQ(requests[1].payload, Request(2, 16, {}, 7));
}

TEST_F(SimLink, StoresWrittenBlocksAndServesRecordsByteForByte) {
    Begin();
    ASSERT_TRUE(Transact(Request(0, 16)));
    for (std::uint8_t i = 0; i < 3; ++i) {
        const auto reply = Transact(Request(static_cast<std::uint8_t>(1 + i), 19,
                                            EveryByteBlock(static_cast<std::uint8_t>(i * 50))));
        ASSERT_EQ(reply, (Bytes{static_cast<std::uint8_t>(1 + i), 255, 19, 6}));
    }
    const auto blocks = device->ModuleBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const Bytes expected = EveryByteBlock(static_cast<std::uint8_t>(i * 50));
        EXPECT_TRUE(std::equal(blocks[i].begin(), blocks[i].end(), expected.begin())) << i;
    }

    const auto calibration = Transact(Request(4, 21, {0x00, 0x20, 0x00, 0x00}));
    ASSERT_TRUE(calibration);
    ASSERT_EQ(calibration->size(), 1034u);
    EXPECT_TRUE(std::equal(calibration->begin() + 4, calibration->end(),
                           device->CalibrationRecord().begin()));
    const auto last = Transact(Request(5, 21, {0x00, 0x3C, 0x00, 0x00}));
    ASSERT_TRUE(last);
    EXPECT_TRUE(std::equal(last->begin() + 4, last->end(), device->ConfigurationRecord(5).begin()));

    EXPECT_EQ(Transact(Request(6, 20)), (Bytes{6, 255, 20, 6}));
    EXPECT_EQ(device->Activations(), 1);
    EXPECT_TRUE(device->ApplicationStarted());
}

TEST_F(SimLink, SeveralDevicesAnswerTheirOwnNodesFromTheirOwnMemories) {
    SimOptions options;
    options.devices.resize(2);
    options.devices[0].node = 3;
    options.devices[1].node = 7;
    options.devices[1].serialNumber = 1001;
    Begin(options);
    EXPECT_EQ(device->Nodes(), (std::vector<std::uint8_t>{3, 7}));

    EXPECT_EQ(Transact(Request(0, 16, {}, 3)), (Bytes{0, 3, 16, 6}));
    EXPECT_EQ(Transact(Request(1, 16, {}, 7)), (Bytes{1, 7, 16, 6}));
    const auto info = Transact(Request(2, 18, {}, 7));
    ASSERT_TRUE(info);
    EXPECT_EQ(Bytes(info->begin() + 4, info->end()), device->ModelAt(7)->InfoRecord());
    EXPECT_NE(device->ModelAt(7)->InfoRecord(), device->ModelAt(3)->InfoRecord());
    // Nobody at node 5 (nor at 255, the lone device's default).
    EXPECT_FALSE(Transact(Request(3, 16, {}, 5), kSilenceMs));
    EXPECT_FALSE(Transact(Request(4, 16, {}, 255), kSilenceMs));
    EXPECT_EQ(device->ModelAt(5), nullptr);

    ASSERT_TRUE(Transact(Request(5, 19, EveryByteBlock(1), 7)));
    ASSERT_TRUE(Transact(Request(6, 20, {}, 3)));
    ASSERT_EQ(device->ModuleBlocks(7).size(), 1u);
    EXPECT_TRUE(device->ModuleBlocks(3).empty());
    EXPECT_TRUE(device->ModuleBlocks().empty());  // the first device's
    EXPECT_EQ(device->Activations(3), 1);
    EXPECT_EQ(device->Activations(7), 0);

    // A fault for one node leaves the other alone.
    device->AddFault(7, {16, 0, FaultKind::kSilence});
    EXPECT_FALSE(Transact(Request(7, 16, {}, 7), kSilenceMs));
    EXPECT_TRUE(Transact(Request(8, 16, {}, 3)));
}

TEST_F(SimLink, KeepsServingWhenTheToolReopensThePort) {
    Begin();
    ASSERT_TRUE(Transact(Request(0, 16)));
    port.reset();
    port = std::make_unique<SlavePort>(device->SlavePath());
    ASSERT_TRUE(port->IsOpen());
    EXPECT_EQ(Transact(Request(1, 16)), (Bytes{1, 255, 16, 6}));
}

TEST_F(SimLink, LostReplyIsRecoveredByRetransmission) {
    Begin();
    device->AddFault({19, 1, FaultKind::kSilence});
    ASSERT_TRUE(Transact(Request(0, 16)));
    const Bytes write = Request(1, 19, EveryByteBlock(7));
    EXPECT_FALSE(Transact(write, kSilenceMs));
    EXPECT_EQ(Transact(write), (Bytes{1, 255, 19, 6}));
    EXPECT_EQ(device->ModuleBlocks().size(), 1u);
    EXPECT_EQ(device->Requests().size(), 3u);
}

TEST_F(SimLink, StaleReplyArrivesApartFromTheRightOne) {
    Begin();
    device->AddFault({18, 1, FaultKind::kStale, 0, 100});
    ASSERT_TRUE(port->Send(Frame(Request(5, 18))));
    const Bytes stale = port->ReadFrame(kReplyTimeoutMs);
    const Bytes right = port->ReadFrame(kReplyTimeoutMs);
    ASSERT_TRUE(Decode(stale));
    ASSERT_TRUE(Decode(right));
    EXPECT_EQ((*Decode(stale))[0], 4);
    EXPECT_EQ((*Decode(right))[0], 5);
}

TEST_F(SimLink, FaultsShapeWhatTheLineCarries) {
    Begin();
    device->AddFault({16, 1, FaultKind::kBadChecksum});
    device->AddFault({16, 2, FaultKind::kOtherNode});
    device->AddFault({16, 3, FaultKind::kShortReply});
    device->AddFault({16, 4, FaultKind::kRefuse, 250});

    const Bytes bad =
        port->Send(Frame(Request(0, 16))) ? port->ReadFrame(kReplyTimeoutMs) : Bytes{};
    EXPECT_FALSE(bad.empty());
    EXPECT_FALSE(Decode(bad));
    EXPECT_EQ(Transact(Request(1, 16)), (Bytes{1, 0, 16, 6}));
    EXPECT_EQ(Transact(Request(2, 16)), (Bytes{2, 255, 16}));
    EXPECT_EQ(Transact(Request(3, 16)), (Bytes{3, 255, 16, 0x15, 250}));
    EXPECT_EQ(Transact(Request(4, 16)), (Bytes{4, 255, 16, 6}));
}

TEST_F(SimLink, DelayedAndSplitRepliesTakeAtLeastTheirTime) {
    Begin();
    device->AddFault({18, 1, FaultKind::kDelay, 150});
    device->AddFault({21, 1, FaultKind::kSplit, 3, 60});

    std::int64_t start = NowMs();
    ASSERT_TRUE(Transact(Request(0, 18)));
    EXPECT_GE(NowMs() - start, 150);

    start = NowMs();
    ASSERT_TRUE(port->Send(Frame(Request(1, 21, {0x00, 0x20, 0x00, 0x00}))));
    const auto chunks = port->ReadChunks(1000);
    EXPECT_GE(NowMs() - start, 120);  // two gaps
    EXPECT_GE(chunks.size(), 2u);
    Bytes whole;
    for (const Bytes& chunk : chunks)
        whole.insert(whole.end(), chunk.begin(), chunk.end());
    const auto reply = Decode(whole);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 1034u);
}

TEST_F(SimLink, PacedReplyTakesItsLineTime) {
    SimOptions options;
    options.pace = true;
    Begin(options);
    const Bytes request = Frame(Request(0, 21, {0x00, 0x28, 0x00, 0x00}));
    const std::int64_t start = NowMs();
    ASSERT_TRUE(port->Send(request));
    const Bytes frame = port->ReadFrame(3000);
    const std::int64_t elapsed = NowMs() - start;
    ASSERT_TRUE(Decode(frame));
    const std::int64_t lineMs =
        LineTimeMs(static_cast<std::int64_t>(frame.size() + request.size()));
    EXPECT_GE(elapsed, lineMs - 2);
    EXPECT_LT(elapsed, 5 * lineMs);
}

TEST_F(SimLink, DamagedLineLeavesRequestsUnanswered) {
    SimOptions options;
    options.corruptShare = 1.0;
    Begin(options);
    EXPECT_FALSE(Transact(Request(0, 16), kSilenceMs));
    EXPECT_EQ(device->FramesReceived(), 1);
    EXPECT_TRUE(device->Requests().empty());
}

TEST_F(SimLink, UnplugClosesTheLine) {
    Begin();
    ASSERT_TRUE(Transact(Request(0, 16)));
    const std::string path = device->SlavePath();
    device->Unplug();
    EXPECT_TRUE(device->Unplugged());
    EXPECT_TRUE(port->HangsUp(kReplyTimeoutMs));
    struct stat status {};
    EXPECT_NE(::stat(path.c_str(), &status), 0);
}

TEST_F(SimLink, UnplugsAfterTheGivenNumberOfFrames) {
    SimOptions options;
    options.unplugAfterFrames = 2;
    Begin(options);
    ASSERT_TRUE(Transact(Request(0, 16)));
    ASSERT_TRUE(port->Send(Frame(Request(1, 18))));
    EXPECT_TRUE(port->HangsUp(kReplyTimeoutMs));
    EXPECT_TRUE(device->Unplugged());
    EXPECT_EQ(device->Requests().size(), 2u);
}

TEST_F(SimLink, StopEndsTheDeviceQuickly) {
    Begin();
    device->AddFault({16, 0, FaultKind::kDelay, 5000});
    ASSERT_TRUE(port->Send(Frame(Request(0, 16))));
    ASSERT_TRUE(device->WaitForRequests(1, kReplyTimeoutMs));
    const std::int64_t start = NowMs();
    device->Stop();
    EXPECT_LT(NowMs() - start, 1000);  // the device waits in slices of 10 ms
}

}  // namespace
