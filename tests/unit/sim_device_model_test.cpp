#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "protocol/frame_codec.h"
#include "request_payload.h"
#include "sim/device_model.h"
#include "sim/device_responder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Model = DeviceModel;

Bytes Request(std::uint8_t seq, std::uint8_t node, std::uint8_t command, const Bytes& data = {}) {
    return RequestPayload(seq, node, command, data);
}

Bytes Address(std::uint32_t address) {
    return {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
}

Bytes Block(std::uint8_t fill) {
    Bytes block(Model::kRecordSize, fill);
    block[0] = 0x02;  // control bytes travel like any other
    block[Model::kRecordSize - 1] = 0x10;
    return block;
}

// Decodes a frame the device sent; nothing when it fails.
std::optional<Bytes> DecodeReply(const Bytes& frame) {
    auto buffers = std::make_unique<FrameBuffers>();
    if (frame.size() > kFrameBufferSize) return std::nullopt;
    std::copy(frame.begin(), frame.end(), buffers->RxFrameBuffer);
    int length = 0;
    if (DecodeFrame(*buffers, static_cast<int>(frame.size()), length) != kResultOk)
        return std::nullopt;
    return Bytes(buffers->PayloadBuffer, buffers->PayloadBuffer + length);
}

bool WellFramed(const Bytes& frame) {
    if (frame.size() < 3 || frame.front() != kStx || frame.back() != kEtx) return false;
    for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
        if (frame[i] == kStx || frame[i] == kEtx) return false;
        if (frame[i] == kDle) {
            const std::uint8_t second = frame[++i];
            if (second != 0x00 && second != 0x01 && second != 0x10) return false;
        }
    }
    return true;
}

TEST(SimDeviceModel, PresenceAndInfoReplies) {
    DeviceConfig config;
    config.node = 7;
    config.deviceType = {'A', 'B', 0, 'C'};
    config.bootVersion = 0x0203;
    config.bootDate = 0x25032016;
    config.appVersion = kSimAbsentVersion;
    config.appDate = kSimAbsentDate;
    config.requiredBootVersion = 0x0110;
    config.serialNumber = 0x123456;
    Model model(config);

    EXPECT_EQ(model.Handle(Request(9, 7, 16)), (Bytes{9, 7, 16, 6}));

    const auto info = model.Handle(Request(10, 7, 18));
    ASSERT_TRUE(info);
    const Bytes expected{10,   7,    18,   6,                 // header, ACK
                         'A',  'B',  0,    'C',               // deviceType
                         0x03, 0x02,                          // bootVersion
                         0x16, 0x20, 0x03, 0x25,              // bootDate
                         0,    0,    0,    0,                 // not interpreted
                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // app absent
                         0x10, 0x01,                          // requiredBootVersion
                         0x56, 0x34, 0x12};                   // serialNumber
    EXPECT_EQ(*info, expected);
}

TEST(SimDeviceModel, InfoRecordLengthIsConfigurable) {
    DeviceConfig config;
    config.infoRecordLength = 10;
    Model shortRecord(config);
    const Bytes full = Model(DeviceConfig{}).InfoRecord();
    const auto reply = shortRecord.Handle(Request(0, 255, 18));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 4u + 10u);
    EXPECT_TRUE(std::equal(reply->begin() + 4, reply->end(), full.begin()));

    config.infoRecordLength = 30;  // padded with zeros after the record
    const Bytes longer = Model(config).InfoRecord();
    ASSERT_EQ(longer.size(), 30u);
    EXPECT_TRUE(std::equal(full.begin(), full.end(), longer.begin()));
    EXPECT_TRUE(std::all_of(longer.begin() + 25, longer.end(), [](auto b) { return b == 0; }));

    DeviceConfig unset;
    unset.serialNumber = kSimAbsentSerial;
    const Bytes record = Model(unset).InfoRecord();
    EXPECT_EQ(Bytes(record.begin() + 22, record.end()), (Bytes{0xFF, 0xFF, 0xFF}));
}

TEST(SimDeviceModel, AnswersOnlyItsOwnNode) {
    Model model;  // node 255
    EXPECT_FALSE(model.Handle(Request(0, 254, 16)));
    EXPECT_FALSE(model.Handle(Request(0, 0, 20)));
    EXPECT_FALSE(model.Handle(Bytes{0, 255}));  // no command byte
    EXPECT_EQ(model.Activations(), 0);
    EXPECT_EQ(model.Executed(), 0);
}

TEST(SimDeviceModel, RefusesUnknownCommandsAndBadRequests) {
    Model model;
    EXPECT_EQ(model.Handle(Request(1, 255, 17)), (Bytes{1, 255, 17, 0x15, 254}));
    EXPECT_EQ(model.Handle(Request(2, 255, 0)), (Bytes{2, 255, 0, 0x15, 254}));
    // A write whose record is not 1030 bytes is a bad block.
    EXPECT_EQ(model.Handle(Request(3, 255, 19, Bytes(1029, 0))), (Bytes{3, 255, 19, 0x15, 255}));
    EXPECT_TRUE(model.ModuleBlocks().empty());
}

TEST(SimDeviceModel, ReadBlockServesCalibrationAndConfiguration) {
    Model model;
    std::uint8_t seq = 0;
    auto read = [&](std::uint32_t address) {
        return *model.Handle(Request(seq++, 255, 21, Address(address)));
    };

    const Bytes calibration = read(0x2000);
    ASSERT_EQ(calibration.size(), 4u + 1030u);
    EXPECT_EQ(Bytes(calibration.begin(), calibration.begin() + 4), (Bytes{0, 255, 21, 6}));
    EXPECT_TRUE(
        std::equal(calibration.begin() + 4, calibration.end(), model.CalibrationRecord().begin()));

    for (int i = 0; i < 6; ++i) {
        const Bytes reply = read(0x2800 + static_cast<std::uint32_t>(i) * 0x400);
        ASSERT_EQ(reply.size(), 1034u) << i;
        EXPECT_TRUE(
            std::equal(reply.begin() + 4, reply.end(), model.ConfigurationRecord(i).begin()))
            << i;
    }

    for (const std::uint32_t address : {0x0u, 0x1FFFu, 0x2400u, 0x2801u, 0x4000u, 0x12002000u}) {
        const Bytes reply = read(address);
        EXPECT_EQ(Bytes(reply.begin() + 2, reply.end()), (Bytes{21, 0x15, 255})) << address;
    }
    // An address cut short is no address.
    EXPECT_EQ(*model.Handle(Request(200, 255, 21, Bytes{0x00, 0x20})),
              (Bytes{200, 255, 21, 0x15, 255}));
}

TEST(SimDeviceModel, ServedRecordsAreDistinctDeterministicAndFullOfControlBytes) {
    const Model model;
    std::vector<Model::Record> records{model.CalibrationRecord()};
    for (int i = 0; i < 6; ++i)
        records.push_back(model.ConfigurationRecord(i));

    std::vector<std::uint16_t> trailers;
    for (const auto& record : records) {
        const auto controls = std::count_if(record.begin(), record.end(), [](std::uint8_t b) {
            return b == 0x02 || b == 0x03 || b == 0x10;
        });
        EXPECT_GE(controls, 40);
        // Few enough that a paced reply still fits the tool's 250 ms wait.
        EXPECT_LE(controls, 150);
        trailers.push_back(static_cast<std::uint16_t>(record[1028] | record[1029] << 8));
    }
    std::sort(trailers.begin(), trailers.end());
    EXPECT_EQ(std::adjacent_find(trailers.begin(), trailers.end()), trailers.end());

    EXPECT_EQ(Model().CalibrationRecord(), model.CalibrationRecord());
    DeviceConfig other;
    other.recordSeed = 99;
    EXPECT_NE(Model(other).CalibrationRecord(), model.CalibrationRecord());
}

TEST(SimDeviceModel, WriteSessionStartsAfterPresenceCheck) {
    Model model;
    std::uint8_t seq = 0;
    auto send = [&](std::uint8_t command, const Bytes& data = {}) {
        return *model.Handle(Request(seq++, 255, command, data));
    };

    send(16);
    send(18);
    EXPECT_EQ(send(19, Block(0xA1)), (Bytes{2, 255, 19, 6}));
    send(19, Block(0xA2));
    send(20);
    EXPECT_TRUE(model.ApplicationStarted());
    // The tool identifies the device again after the last block: the blocks
    // of the session stay.
    send(16);
    send(18);
    ASSERT_EQ(model.ModuleBlocks().size(), 2u);
    EXPECT_TRUE(std::equal(model.ModuleBlocks()[1].begin(), model.ModuleBlocks()[1].end(),
                           Block(0xA2).begin()));

    // The next write starts over at block 0 and stops the application.
    send(19, Block(0xB1));
    ASSERT_EQ(model.ModuleBlocks().size(), 1u);
    EXPECT_EQ(model.ModuleBlocks()[0][5], 0xB1);
    EXPECT_FALSE(model.ApplicationStarted());
    EXPECT_EQ(model.Activations(), 1);
}

TEST(SimDeviceModel, ModuleMemoryHoldsAtMost112Blocks) {
    Model model;
    std::uint8_t seq = 0;
    model.Handle(Request(seq++, 255, 16));
    for (int i = 0; i < 112; ++i)
        ASSERT_EQ((*model.Handle(Request(seq++, 255, 19, Block(0x40))))[3], 6) << i;
    EXPECT_EQ(model.Handle(Request(200, 255, 19, Block(0x41))), (Bytes{200, 255, 19, 0x15, 255}));
    EXPECT_EQ(model.ModuleBlocks().size(), 112u);
}

TEST(SimDeviceModel, RetransmissionIsAnsweredAgainWithoutExecuting) {
    Model model;
    model.Handle(Request(0, 255, 16));
    const Bytes write = Request(1, 255, 19, Block(0x55));
    const auto first = model.Handle(write);
    const auto again = model.Handle(write);
    EXPECT_EQ(first, again);
    EXPECT_EQ(model.ModuleBlocks().size(), 1u);

    const auto activate = Request(2, 255, 20);
    model.Handle(activate);
    model.Handle(activate);
    EXPECT_EQ(model.Activations(), 1);
    // The same command with a new sequence number is a new request, and so is
    // a different request that reuses the sequence number.
    model.Handle(Request(3, 255, 20));
    EXPECT_EQ(model.Activations(), 2);
    model.Handle(Request(3, 255, 19, Block(0x56)));
    EXPECT_EQ(model.ModuleBlocks().size(), 2u);
    EXPECT_EQ(model.Executed(), 5);
}

// --- Faults -------------------------------------------------------------

class SimResponder : public ::testing::Test {
  protected:
    DeviceResponder responder;
    std::uint8_t seq = 0;

    ReplyPlan Send(std::uint8_t command, const Bytes& data = {}) {
        return responder.Respond(Request(seq++, 255, command, data));
    }
    static Bytes Reply(const Transmission& sent) {
        auto payload = DecodeReply(sent.frame);
        EXPECT_TRUE(payload) << "reply frame does not decode";
        return payload.value_or(Bytes{});
    }
};

TEST_F(SimResponder, PlainReplyIsOneEncodedFrame) {
    const ReplyPlan plan = Send(16);
    ASSERT_EQ(plan.transmissions.size(), 1u);
    EXPECT_EQ(plan.transmissions[0].frame, (Bytes{0x02, 0x00, 0xFF, 0x10, 0x10, 0x06, 0xEA, 0x03}));
    EXPECT_EQ(plan.transmissions[0].delayMs, 0);
    EXPECT_EQ(plan.transmissions[0].pieces, 1);
    EXPECT_TRUE(responder.Respond(Request(9, 3, 16)).transmissions.empty());
}

TEST_F(SimResponder, FaultSelectsTheNthRequestOfItsCommand) {
    responder.AddFault({19, 2, FaultKind::kSilence});
    Send(16);
    EXPECT_EQ(Send(19, Block(1)).transmissions.size(), 1u);
    Send(18);  // other commands do not count
    EXPECT_TRUE(Send(19, Block(2)).transmissions.empty());
    EXPECT_EQ(Send(19, Block(3)).transmissions.size(), 1u);
    // Silence loses the reply, not the request: the block was stored.
    EXPECT_EQ(responder.Model().ModuleBlocks().size(), 3u);
}

TEST_F(SimResponder, FaultOnAnyCommandCountsAllRequests) {
    responder.AddFault({-1, 3, FaultKind::kShortReply});
    responder.AddFault({18, 0, FaultKind::kOtherNode});
    Send(16);
    const ReplyPlan info = Send(18);
    EXPECT_EQ(Reply(info.transmissions[0])[1], 0);  // node 255 + 1 wraps
    const ReplyPlan third = Send(20);
    EXPECT_EQ(Reply(third.transmissions[0]), (Bytes{2, 255, 20}));
    const ReplyPlan fourth = Send(18);
    EXPECT_EQ(Reply(fourth.transmissions[0]).size(), 4u + 25u);
    EXPECT_EQ(Reply(fourth.transmissions[0])[1], 0);  // every request 18
}

TEST_F(SimResponder, LostReplyThenRetransmissionStoresTheBlockOnce) {
    responder.AddFault({19, 1, FaultKind::kSilence});
    Send(16);
    const Bytes write = Request(seq++, 255, 19, Block(0x77));
    EXPECT_TRUE(responder.Respond(write).transmissions.empty());
    const ReplyPlan retry = responder.Respond(write);
    ASSERT_EQ(retry.transmissions.size(), 1u);
    EXPECT_EQ(Reply(retry.transmissions[0]), (Bytes{1, 255, 19, 6}));
    EXPECT_EQ(responder.Model().ModuleBlocks().size(), 1u);
}

TEST_F(SimResponder, RefusalCarriesTheErrorByteAndIsNotExecuted) {
    responder.AddFault({19, 0, FaultKind::kRefuse, 249});
    responder.AddFault({20, 1, FaultKind::kRefuse, 0});
    Send(16);
    EXPECT_EQ(Reply(Send(19, Block(1)).transmissions[0]), (Bytes{1, 255, 19, 0x15, 249}));
    EXPECT_TRUE(responder.Model().ModuleBlocks().empty());
    EXPECT_EQ(Reply(Send(20).transmissions[0]), (Bytes{2, 255, 20, 0x15, 0}));
    EXPECT_EQ(responder.Model().Activations(), 0);
    EXPECT_EQ(Reply(Send(20).transmissions[0]), (Bytes{3, 255, 20, 6}));
}

TEST_F(SimResponder, StaleReplyComesFirstThenTheRightOneAfterTheGap) {
    responder.AddFault({16, 1, FaultKind::kStale});
    responder.AddFault({18, 1, FaultKind::kStale, 0, 120});
    seq = 0;  // the stale copy of sequence 0 carries 255
    const ReplyPlan plan = Send(16);
    ASSERT_EQ(plan.transmissions.size(), 2u);
    EXPECT_EQ(Reply(plan.transmissions[0]), (Bytes{255, 255, 16, 6}));
    EXPECT_EQ(Reply(plan.transmissions[1]), (Bytes{0, 255, 16, 6}));
    EXPECT_EQ(plan.transmissions[1].delayMs, 50);
    EXPECT_EQ(Send(18).transmissions[1].delayMs, 120);
}

TEST_F(SimResponder, BadChecksumKeepsTheFramingIntact) {
    responder.AddFault({21, 0, FaultKind::kBadChecksum});
    const ReplyPlan plan = Send(21, Address(0x2000));
    ASSERT_EQ(plan.transmissions.size(), 1u);
    const Bytes& frame = plan.transmissions[0].frame;
    EXPECT_TRUE(WellFramed(frame));
    EXPECT_FALSE(DecodeReply(frame));
    // Only the checksum differs from the good frame.
    const Bytes good = SimEncodeFrame(*Model().Handle(Request(0, 255, 21, Address(0x2000))));
    ASSERT_EQ(good.size(), frame.size());
    EXPECT_TRUE(std::equal(good.begin(), good.end() - 3, frame.begin()));
}

TEST_F(SimResponder, NoiseTakesTheReplysPlaceAndNeverFrames) {
    responder.AddFault({16, 1, FaultKind::kNoise});
    responder.AddFault({16, 2, FaultKind::kNoise, 600});
    for (const std::size_t length : {std::size_t{24}, std::size_t{600}}) {
        const ReplyPlan plan = Send(16);
        ASSERT_EQ(plan.transmissions.size(), 1u);
        const Bytes& noise = plan.transmissions[0].frame;
        EXPECT_EQ(noise.size(), length);
        EXPECT_EQ(std::count(noise.begin(), noise.end(), 0x02), 0);
        EXPECT_EQ(std::count(noise.begin(), noise.end(), 0x03), 0);
    }
}

TEST(SimCorruptFrame, AlwaysBreaksTheChecksumNeverTheFraming) {
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        Bytes payload(1 + random() % 40);
        for (auto& byte : payload) {
            // Many control bytes, so escaped units are hit often.
            const std::uint8_t pick = static_cast<std::uint8_t>(random());
            byte = pick % 3 == 0 ? std::uint8_t{0x02} : pick % 3 == 1 ? std::uint8_t{0x10} : pick;
        }
        Bytes frame = SimEncodeFrame(payload);
        SimCorruptFrame(frame, random() % (payload.size() + 1));
        ASSERT_TRUE(WellFramed(frame)) << round;
        ASSERT_FALSE(DecodeReply(frame)) << round;
    }
}

TEST_F(SimResponder, DelayAndSplitShapeTheTransmission) {
    DeviceResponder slow(DeviceConfig{}, 0, 1, 3);
    EXPECT_EQ(slow.Respond(Request(0, 255, 16)).transmissions[0].delayMs, 3);
    slow.AddFault({16, 0, FaultKind::kDelay, 400});
    EXPECT_EQ(slow.Respond(Request(1, 255, 16)).transmissions[0].delayMs, 400);

    responder.AddFault({21, 1, FaultKind::kSplit, 4});
    responder.AddFault({21, 2, FaultKind::kSplit, 1, 0});
    const Transmission split = Send(21, Address(0x2000)).transmissions[0];
    EXPECT_EQ(split.pieces, 4);
    EXPECT_EQ(split.gapMs, 5);
    EXPECT_EQ(Reply(split).size(), 1034u);
    const Transmission atLeastTwo = Send(21, Address(0x2000)).transmissions[0];
    EXPECT_EQ(atLeastTwo.pieces, 2);
    EXPECT_EQ(atLeastTwo.gapMs, 0);
}

TEST(SimLineDamage, IsSeededAndHitsRoughlyTheGivenShare) {
    const Bytes frame = SimEncodeFrame(Request(0, 255, 16));
    auto run = [&](std::uint32_t seed) {
        DeviceResponder responder(DeviceConfig{}, 0.3, seed);
        std::vector<bool> outcome;
        for (int i = 0; i < 400; ++i) {
            const bool received = responder.Decode(frame).has_value();
            outcome.push_back(received);
            if (received) {
                const ReplyPlan plan =
                    responder.Respond(Request(static_cast<std::uint8_t>(i), 255, 16));
                outcome.push_back(DecodeReply(plan.transmissions[0].frame).has_value());
            }
        }
        return outcome;
    };
    const auto first = run(5);
    EXPECT_EQ(first, run(5));
    EXPECT_NE(first, run(6));
    const auto damaged = std::count(first.begin(), first.end(), false);
    const double share = static_cast<double>(damaged) / static_cast<double>(first.size());
    EXPECT_GT(share, 0.2);
    EXPECT_LT(share, 0.4);

    DeviceResponder always(DeviceConfig{}, 1.0);
    bool lineCorrupted = false;
    EXPECT_FALSE(always.Decode(frame, &lineCorrupted));
    EXPECT_TRUE(lineCorrupted);
    DeviceResponder never;
    EXPECT_EQ(never.Decode(frame), Request(0, 255, 16));
    EXPECT_FALSE(never.Decode(Bytes{0x02, 0x03}));
}

TEST(SimFrameCollector, CutsBytesIntoFrames) {
    FrameCollector collector;
    std::vector<FrameCollector::Frame> frames;
    collector.Feed(Bytes{0xAA, 0x03, 0x02, 0x01}, 100, frames);  // noise, then a frame starts
    EXPECT_TRUE(frames.empty());
    collector.Feed(Bytes{0x05, 0x03, 0x02, 0x09, 0x03, 0x55}, 200, frames);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, (Bytes{0x02, 0x01, 0x05, 0x03}));
    EXPECT_EQ(frames[0].firstByteUs, 100);
    EXPECT_EQ(frames[1].bytes, (Bytes{0x02, 0x09, 0x03}));
    EXPECT_EQ(frames[1].firstByteUs, 200);

    // A new STX starts the frame over.
    frames.clear();
    collector.Feed(Bytes{0x02, 0x11, 0x02, 0x22, 0x03}, 300, frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, (Bytes{0x02, 0x22, 0x03}));

    // A frame longer than any the device decodes is dropped whole.
    frames.clear();
    Bytes endless(1 + kFrameBufferSize + 10, 0x41);
    endless[0] = 0x02;
    endless.push_back(0x03);
    collector.Feed(endless, 400, frames);
    EXPECT_TRUE(frames.empty());
    EXPECT_GT(collector.DroppedBytes(), kFrameBufferSize);
}

TEST(SimFaultRule, ParsesTheCommandLineForm) {
    const auto rule = ParseFaultRule("19:3:refuse:250");
    ASSERT_TRUE(rule);
    EXPECT_EQ(rule->command, 19);
    EXPECT_EQ(rule->occurrence, 3);
    EXPECT_EQ(rule->kind, FaultKind::kRefuse);
    EXPECT_EQ(rule->value, 250);

    const auto any = ParseFaultRule("any:every:split:3:0x10");
    ASSERT_TRUE(any);
    EXPECT_EQ(any->command, -1);
    EXPECT_EQ(any->occurrence, 0);
    EXPECT_EQ(any->value, 3);
    EXPECT_EQ(any->gapMs, 16);

    EXPECT_EQ(ParseFaultRule("21:1:refuse")->value, 255);
    for (const FaultKind kind : {FaultKind::kSilence, FaultKind::kStale, FaultKind::kBadChecksum,
                                 FaultKind::kOtherNode, FaultKind::kRefuse, FaultKind::kShortReply,
                                 FaultKind::kDelay, FaultKind::kSplit, FaultKind::kNoise})
        EXPECT_EQ(FaultKindFromName(FaultKindName(kind)), kind);

    for (const char* bad : {"", "19", "19:1", "19:1:explode", "300:1:silence", "19:-1:silence",
                            "19:1:delay", "19:1:refuse:256", "x:1:silence", "19:1:split:2:5:9"})
        EXPECT_FALSE(ParseFaultRule(bad)) << bad;
}

}  // namespace
