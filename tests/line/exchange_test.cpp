#include "exchange/exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/event.h"
#include "pty_peer.h"
#include "transport/line_timing.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kNode = 7;

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(OpenChannel(line.channel, peer.SlavePath().c_str()), 0);
        line.abortEvent = &abort;
    }
    void TearDown() override {
        peer.Stop();
        CloseChannel(line.channel);
    }

    // Builds a request for `command` at the current sequence number.
    int Request(std::uint8_t command, const Bytes& data = {}) {
        line.PayloadBuffer[0] = line.SequenceNumber;
        line.PayloadBuffer[1] = kNode;
        line.PayloadBuffer[2] = command;
        std::copy(data.begin(), data.end(), line.PayloadBuffer + 3);
        return 3 + static_cast<int>(data.size());
    }

    // Reply to a request frame: same sequence number and node, then `tail`
    // (status, data).
    static Bytes ReplyTo(const Bytes& requestFrame, const Bytes& tail, int sequenceShift = 0,
                         int nodeShift = 0) {
        const Bytes request = PayloadOf(requestFrame);
        Bytes reply{static_cast<std::uint8_t>(request[0] + sequenceShift),
                    static_cast<std::uint8_t>(request[1] + nodeShift), request[2]};
        reply.insert(reply.end(), tail.begin(), tail.end());
        return FrameOf(reply);
    }

    // The peer's frame count once it has reached `expected`, or after a
    // generous wait: the exchange can return before the peer has read the
    // last request it sent.
    int FramesOnLine(int expected) {
        WaitUntil([&] { return peer.FrameCount() >= expected; });
        return peer.FrameCount();
    }

    PtyPeer peer;
    LineState line{};
    Event abort;
};

TEST_F(ExchangeTest, SilentDeviceGetsFourIdenticalFramesInAboutASecond) {
    peer.Start(nullptr);
    line.SequenceNumber = 41;
    const auto start = Clock::now();
    EXPECT_EQ(Exchange(line, Request(16), kNode), kErrExchange);
    const double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_EQ(line.SequenceNumber, 42);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 4u);
    for (const Bytes& frame : frames)
        EXPECT_EQ(frame, frames[0]);
    EXPECT_EQ(PayloadOf(frames[0]), (Bytes{41, kNode, 16}));
}

TEST_F(ExchangeTest, AcceptedReplyGivesItsLengthAndData) {
    peer.Start([](PtyPeer& p, int, const Bytes& frame) {
        p.Send(ReplyTo(frame, {6, 0xAA, 0x02, 0x03, 0x10}));
    });
    EXPECT_EQ(Exchange(line, Request(18), kNode), 8);
    EXPECT_EQ(line.PayloadBuffer[4], 0xAA);
    EXPECT_EQ(line.PayloadBuffer[7], 0x10);
    EXPECT_EQ(line.PayloadBuffer[8], 0);  // beyond the reply reads as zero
    // Status 6 with no data at all.
    peer.Stop();
    peer.Start([](PtyPeer& p, int, const Bytes& frame) { p.Send(ReplyTo(frame, {6})); });
    EXPECT_EQ(Exchange(line, Request(16), kNode), 4);
    EXPECT_EQ(peer.FrameCount(), 2);
}

TEST_F(ExchangeTest, RefusalsMapThroughTheFixedTable) {
    // Every byte below 249 is an unknown error; 250 and 251 break the order.
    const std::pair<std::uint8_t, ResultCode> table[] = {
        {0, kErrDeviceUnknown},       {248, kErrDeviceUnknown},     {249, kErrDeviceOtherSerial},
        {250, kErrDeviceTooCold},     {251, kErrDeviceWrongModule}, {252, kErrDeviceModuleDamaged},
        {253, kErrDeviceWriteFailed}, {254, kErrDeviceBadCommand},  {255, kErrDeviceBadBlock},
    };
    std::atomic<int> errorByte{0};
    peer.Start([&](PtyPeer& p, int, const Bytes& frame) {
        p.Send(ReplyTo(frame, {0x15, static_cast<std::uint8_t>(errorByte.load())}));
    });
    for (const auto& [value, expected] : table) {
        EXPECT_EQ(DeviceErrorResult(value), expected) << int{value};
        errorByte = value;
        EXPECT_EQ(Exchange(line, Request(19), kNode), expected) << int{value};
    }
    EXPECT_EQ(peer.FrameCount(), 9);  // a refusal is final, not retried
}

TEST_F(ExchangeTest, ThreeByteReplyIsARefusalWithErrorByteZero) {
    peer.Start([](PtyPeer& p, int, const Bytes& frame) { p.Send(ReplyTo(frame, {})); });
    EXPECT_EQ(Exchange(line, Request(20), kNode), kErrDeviceUnknown);
}

TEST_F(ExchangeTest, StaleReplyThenRightOneNeedsOneSend) {
    peer.Start([](PtyPeer& p, int, const Bytes& frame) {
        p.Send(ReplyTo(frame, {6}, -1));
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        p.Send(ReplyTo(frame, {6, 0x55}));
    });
    line.SequenceNumber = 9;
    EXPECT_EQ(Exchange(line, Request(16), kNode), 5);
    EXPECT_EQ(peer.FrameCount(), 1);
    EXPECT_EQ(line.SequenceNumber, 10);
}

TEST_F(ExchangeTest, StaleReplyThenSilenceListensOnceThenSendsAgain) {
    // Send (a stale reply comes), only listen, send, send: three requests.
    peer.Start([](PtyPeer& p, int index, const Bytes& frame) {
        if (index == 0) p.Send(ReplyTo(frame, {6}, -1));
    });
    EXPECT_EQ(Exchange(line, Request(16), kNode), kErrExchange);
    EXPECT_EQ(FramesOnLine(3), 3);
}

TEST_F(ExchangeTest, BytesLeftFromAnEarlierAttemptAreDiscarded) {
    // The start of a frame that never ends: the first wait takes it in but
    // has no reply to deliver. Kept, it would stand before the reply to the
    // next request and spoil that one too.
    peer.Start([](PtyPeer& p, int index, const Bytes& frame) {
        p.Send(index == 0 ? Bytes{kStx, 0x11, 0x22} : ReplyTo(frame, {6, 0x5A}));
    });
    EXPECT_EQ(Exchange(line, Request(16), kNode), 5);
    EXPECT_EQ(line.PayloadBuffer[4], 0x5A);
    EXPECT_EQ(FramesOnLine(2), 2);
}

TEST_F(ExchangeTest, GarbledOrOtherNodeMakeItSendAgain) {
    // First attempt answered badly in two different ways, second well.
    for (const int kind : {0, 2}) {
        peer.Stop();
        const int before = peer.FrameCount();
        peer.Start([kind, before](PtyPeer& p, int index, const Bytes& frame) {
            if (index == before) {
                Bytes bad;
                if (kind == 0) {  // bad checksum
                    bad = ReplyTo(frame, {6});
                    bad[bad.size() - 2] ^= 0x01;
                } else {  // another node with the right sequence number
                    bad = ReplyTo(frame, {6}, 0, 1);
                }
                p.Send(bad);
                return;
            }
            p.Send(ReplyTo(frame, {6}));
        });
        EXPECT_EQ(Exchange(line, Request(16), kNode), 4) << kind;
        EXPECT_EQ(peer.FrameCount() - before, 2) << kind;
        const auto frames = peer.Frames();
        EXPECT_EQ(frames[static_cast<std::size_t>(before)], frames.back());
    }
}

TEST_F(ExchangeTest, OneAttemptSendsOnceAndTellsWhatCameInstead) {
    // Silence, a bad checksum, another node with the right sequence number.
    // A reply to an earlier request costs nothing: the right one 60 ms after
    // it, or read together with it, is taken.
    const struct {
        int garbled;
        int otherNode;
        int result = kErrExchange;
    } cases[] = {{0, -1}, {1, -1}, {0, kNode + 1}, {0, -1, 4}, {0, -1, 4}};
    for (int kind = 0; kind < 5; ++kind) {
        peer.Stop();
        const int before = peer.FrameCount();
        peer.Start([kind](PtyPeer& p, int, const Bytes& frame) {
            if (kind == 0) return;
            Bytes reply = ReplyTo(frame, {6}, 0, kind == 2 ? 1 : 0);
            if (kind == 1) reply[reply.size() - 2] ^= 0x01;
            const Bytes stale = ReplyTo(frame, {6}, -1);
            if (kind == 3) {
                p.Send(stale);
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
            }
            if (kind == 4) reply.insert(reply.begin(), stale.begin(), stale.end());
            p.Send(reply);
        });
        ExchangeMisses misses{7, 7};  // filled from scratch
        EXPECT_EQ(Exchange(line, Request(16), kNode, 1, &misses), cases[kind].result) << kind;
        EXPECT_EQ(misses.garbled, cases[kind].garbled) << kind;
        EXPECT_EQ(misses.otherNode, cases[kind].otherNode) << kind;
        EXPECT_EQ(FramesOnLine(before + 1) - before, 1) << kind;
    }
}

TEST_F(ExchangeTest, AbortBeforeTheWaitEndsAtOnce) {
    peer.Start(nullptr);
    abort.Set();
    const auto start = Clock::now();
    EXPECT_EQ(Exchange(line, Request(16), kNode), kErrAborted);
    EXPECT_LT(SecondsSince(start), 0.2);
    EXPECT_EQ(line.SequenceNumber, 1);
    EXPECT_EQ(FramesOnLine(1), 1);  // the request itself was sent
}

TEST_F(ExchangeTest, AbortDuringAWaitIsSeenByTheNextAttempt) {
    // The dialog's Stop: sent again, then the read saw the abort. A
    // rollout's abort: nothing more goes out.
    for (const bool beforeSend : {false, true}) {
        peer.Stop();
        abort.Reset();
        const int before = peer.FrameCount();
        line.abortBeforeSend = beforeSend;
        peer.Start([this, before](PtyPeer&, int index, const Bytes&) {
            if (index == before) {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                abort.Set();
            }
        });
        const auto start = Clock::now();
        EXPECT_EQ(Exchange(line, Request(19, Bytes(8, 0x55)), kNode), kErrAborted);
        EXPECT_GE(SecondsSince(start), 0.24);
        // A frame sent just before the return may not have reached the peer.
        if (beforeSend) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int sent = beforeSend ? 1 : 2;
        EXPECT_EQ(FramesOnLine(before + sent) - before, sent) << beforeSend;
    }
}

TEST_F(ExchangeTest, AbortDuringTheLastWaitGivesExchangeFailure) {
    peer.Start([this](PtyPeer&, int index, const Bytes&) {
        // Well inside the last wait, not at its start: the frame can reach
        // the peer before the read has begun to wait, and a press seen there
        // ends the exchange as aborted instead.
        if (index != 3) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        abort.Set();
    });
    EXPECT_EQ(Exchange(line, Request(16), kNode), kErrExchange);
    EXPECT_EQ(peer.FrameCount(), 4);
}

TEST_F(ExchangeTest, SequenceNumberWrapsAndEmptyPayloadSendsNothing) {
    peer.Start([](PtyPeer& p, int, const Bytes& frame) { p.Send(ReplyTo(frame, {6})); });
    line.SequenceNumber = 255;
    EXPECT_EQ(Exchange(line, Request(16), kNode), 4);
    EXPECT_EQ(line.SequenceNumber, 0);
    EXPECT_EQ(Exchange(line, Request(16), kNode), 4);
    EXPECT_EQ(line.SequenceNumber, 1);

    EXPECT_EQ(Exchange(line, 0, kNode), 0);
    EXPECT_EQ(line.SequenceNumber, 1);
    // The next request is the third frame on the line: the empty exchange
    // put nothing before it.
    EXPECT_EQ(Exchange(line, Request(16), kNode), 4);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(PayloadOf(frames[2]), (Bytes{1, kNode, 16}));
}

TEST_F(ExchangeTest, ReplyWaitCountsFromTheEndOfALongFrame) {
    // A record of 0x10 bytes doubles on the wire: about 360 ms at 57600 baud.
    // A device on a real line answers only after the frame has arrived, so
    // its reply comes later than 250 ms after the driver took the frame.
    peer.Start([](PtyPeer& p, int, const Bytes& frame) {
        std::this_thread::sleep_for(
            std::chrono::microseconds(LineTimeUs(static_cast<std::int64_t>(frame.size()))) +
            std::chrono::milliseconds(40));
        p.Send(ReplyTo(frame, {6}));
    });
    const int length = Request(19, Bytes(1030, 0x10));
    EXPECT_EQ(Exchange(line, length, kNode), 4);
    EXPECT_EQ(peer.FrameCount(), 1);
    EXPECT_GT(peer.Frames()[0].size(), 2060u);
}

}  // namespace

namespace {

// A half-duplex adapter hands every request straight back before the device
// answers; without the echo the device's short answer to a request without
// data may have exactly the request's bytes. One frame cannot tell the two
// apart, so the channel learns from the replies whether its line echoes.
enum Reply { kNone, kAccept, kRefuse, kOwnBytes, kFragment };

struct EchoCase {
    const char* name;
    bool echo;
    bool known;     // an answered exchange first taught the channel the line
    bool presence;  // asked through ExchangePresenceCheck
    std::uint8_t command;
    int dataBytes;  // each 0x06, which reads as "accepted" if taken as a status
    Reply first;    // to the case's first request
    Reply later;    // to every further one
    int expected;
    int requestsOnLine;
    LineEcho learnt;
    bool noisy = false;                  // a byte of noise before each echo
    bool echoLostAfterTeaching = false;  // only the first request's echo comes back
};

class EchoTest : public ExchangeTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(EchoTest, EchoOfTheRequestIsNotTheReply) {
    const EchoCase c = GetParam();
    const int taught = c.known ? 1 : 0;
    peer.Start([c, taught](PtyPeer& p, int index, const Bytes& frame) {
        if (c.echo && !(c.echoLostAfterTeaching && index >= taught)) {
            if (c.noisy) p.Send({0x00});
            p.Send(frame);
        }
        const Reply reply = index < taught ? kAccept : index == taught ? c.first : c.later;
        if (reply == kAccept) p.Send(ReplyTo(frame, {6, 0x5A}));
        if (reply == kRefuse) p.Send(ReplyTo(frame, {0x15, 0xFF}));
        if (reply == kOwnBytes) p.Send(frame);
        if (reply == kFragment) p.Send({0x11, kEtx});  // its STX lost
    });
    if (c.known) {
        ASSERT_EQ(Exchange(line, Request(18), kNode), 5);
    }
    EXPECT_EQ(ChannelLineEchoes(line.channel), !c.known ? LineEcho::kUnknown
                                               : c.echo ? LineEcho::kEchoes
                                                        : LineEcho::kClean);

    const Bytes data(static_cast<std::size_t>(c.dataBytes), 0x06);
    const int length = Request(c.command, data);
    const int result =
        c.presence ? ExchangePresenceCheck(line, kNode, c.command) : Exchange(line, length, kNode);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(FramesOnLine(taught + c.requestsOnLine) - taught, c.requestsOnLine);
    EXPECT_EQ(ChannelLineEchoes(line.channel), c.learnt);
    // A purge keeps what was learnt; opening the port again forgets it.
    ChannelDiscardInput(line.channel);
    EXPECT_EQ(ChannelLineEchoes(line.channel), c.learnt);
    ASSERT_EQ(OpenChannel(line.channel, peer.SlavePath().c_str()), 0);
    EXPECT_EQ(ChannelLineEchoes(line.channel), LineEcho::kUnknown);
}

constexpr LineEcho kUnknownLine = LineEcho::kUnknown;
constexpr LineEcho kEchoes = LineEcho::kEchoes;
constexpr LineEcho kClean = LineEcho::kClean;

INSTANTIATE_TEST_SUITE_P(
    Line, EchoTest,
    ::testing::Values(
        // A reply after the echo, whatever its bytes.
        EchoCase{"EchoThenAccepted", true, false, false, 18, 0, kAccept, kAccept, 5, 1, kEchoes},
        EchoCase{"EchoThenRefusedBlock", true, false, false, 19, 1030, kRefuse, kRefuse,
                 kErrDeviceBadBlock, 1, kEchoes},
        EchoCase{"EchoThenShortReplyOfSameBytes", true, false, false, 16, 0, kOwnBytes, kOwnBytes,
                 kErrDeviceUnknown, 1, kEchoes},
        EchoCase{"EchoThenSameBytesToPresenceCheck", true, true, true, 16, 0, kOwnBytes, kOwnBytes,
                 kErrDeviceUnknown, 1, kEchoes},
        // The echo alone: silence on a line known to echo, for the presence
        // check while nothing is known, and always for a request with data.
        EchoCase{"EchoAloneOfShortRequestUnknownLine", true, false, false, 20, 0, kNone, kNone,
                 kErrDeviceUnknown, 1, kUnknownLine},
        EchoCase{"EchoAloneOfPresenceCheckUnknownLine", true, false, true, 16, 0, kNone, kNone,
                 kErrExchange, 4, kUnknownLine},
        EchoCase{"EchoAloneOfShortRequestKnownLine", true, true, false, 20, 0, kNone, kNone,
                 kErrExchange, 4, kEchoes},
        EchoCase{"EchoAloneOfBlockIsNoReply", true, false, false, 19, 1030, kNone, kNone,
                 kErrExchange, 4, kUnknownLine},
        // One reply lost: asked again, as on a clean line.
        EchoCase{"EchoLostReplyAskedAgain", true, true, false, 18, 0, kNone, kAccept, 5, 2,
                 kEchoes},
        EchoCase{"EchoLostPresenceReplyAskedAgain", true, false, true, 16, 0, kNone, kAccept, 5, 2,
                 kEchoes},
        EchoCase{"EchoLostBlockReplyAskedAgain", true, false, false, 19, 1030, kNone, kRefuse,
                 kErrDeviceBadBlock, 2, kEchoes},
        EchoCase{"CleanLostReplyAskedAgain", false, true, false, 18, 0, kNone, kAccept, 5, 2,
                 kClean},
        // Noise at the turnaround neither hides the echo nor passes it for a
        // clean line's reply; a line known to echo stays so when an echo is lost.
        EchoCase{"NoisyEchoThenAccepted", true, false, false, 18, 0, kAccept, kAccept, 5, 1,
                 kEchoes, true},
        EchoCase{"NoisyEchoAloneOfPresenceCheck", true, false, true, 16, 0, kNone, kNone,
                 kErrExchange, 4, kUnknownLine, true},
        EchoCase{"FragmentTeachesNothing", false, false, true, 16, 0, kFragment, kOwnBytes,
                 kErrExchange, 4, kUnknownLine},
        EchoCase{"EchoLostOnceLearnt", true, true, false, 18, 0, kAccept, kAccept, 5, 1, kEchoes,
                 false, true},
        // A clean line: the request's bytes as the answer are a three-byte
        // reply, one request, except to a presence check before anything is
        // known (it cannot be told from an echoing line with nobody there).
        EchoCase{"ShortReplyOfSameBytesNoEcho", false, false, false, 16, 0, kOwnBytes, kOwnBytes,
                 kErrDeviceUnknown, 1, kUnknownLine},
        EchoCase{"SameBytesToPresenceCheckKnownClean", false, true, true, 16, 0, kOwnBytes,
                 kOwnBytes, kErrDeviceUnknown, 1, kClean},
        EchoCase{"SameBytesToPresenceCheckUnknownLine", false, false, true, 16, 0, kOwnBytes,
                 kOwnBytes, kErrExchange, 4, kUnknownLine}),
    [](const ::testing::TestParamInfo<EchoCase>& param) { return std::string(param.param.name); });

}  // namespace
