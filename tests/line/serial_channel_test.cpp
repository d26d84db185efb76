#include "transport/serial_channel.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "line_rig.h"
#include "operations/device_identity.h"
#include "platform/event.h"
#include "pty_peer.h"
#include "request_payload.h"
#include "transport/line_timing.h"
#include "transport/posix/serial_rs485_calls.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Channel {
    SerialChannel state{};
    ~Channel() { CloseChannel(state); }
};

TEST(SerialChannel, MissingPortFailsWithNothingOpen) {
    Channel channel;
    EXPECT_EQ(OpenChannel(channel.state, "/dev/no-such-port-vx40"), kErrPortOpen);
    EXPECT_FALSE(ChannelIsOpen(channel.state));
    EXPECT_NE(std::strstr(channel.state.lastError, "/dev/no-such-port-vx40"), nullptr);
    // A file that is not a terminal refuses the line settings.
    EXPECT_EQ(OpenChannel(channel.state, "/dev/null"), kErrPortOpen);
    EXPECT_FALSE(ChannelIsOpen(channel.state));
}

TEST(SerialChannel, OpenIsExclusiveAndReopenReleasesThePrevious) {
    PtyPeer first;
    PtyPeer second;
    Channel a;
    Channel b;
    ASSERT_EQ(OpenChannel(a.state, first.SlavePath().c_str()), 0);
    // Refused for a second opener, also when running as root.
    EXPECT_EQ(OpenChannel(b.state, first.SlavePath().c_str()), kErrPortOpen);
    EXPECT_FALSE(ChannelIsOpen(b.state));
    EXPECT_NE(std::strstr(b.state.lastError, "in use"), nullptr) << b.state.lastError;

    // Opening another port on the same channel closes the first one.
    ASSERT_EQ(OpenChannel(a.state, second.SlavePath().c_str()), 0);
    EXPECT_EQ(OpenChannel(b.state, first.SlavePath().c_str()), 0);

    EXPECT_EQ(CloseChannel(a.state), 0);
    EXPECT_EQ(CloseChannel(a.state), 0);
    EXPECT_FALSE(ChannelIsOpen(a.state));
}

TEST(SerialChannel, CloseLeavesThePortOpenableForOthers) {
    // The exclusive flag lives on the terminal, not the descriptor: while any
    // other descriptor keeps the terminal open it would outlast our close and
    // lock every ordinary user out of the port.
    PtyPeer peer;
    Channel channel;
    ASSERT_EQ(OpenChannel(channel.state, peer.SlavePath().c_str()), 0);
    EXPECT_EQ(CloseChannel(channel.state), 0);
    const int fd = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    int exclusive = -1;
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
}

TEST(SerialChannel, LineSettingsAreSetFromZero) {
    PtyPeer peer;
    {
        // Leave the port as another program might: two stop bits, parity,
        // hardware and software flow control, echo, canonical mode.
        const int fd = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        termios dirty{};
        tcgetattr(fd, &dirty);
        dirty.c_cflag |= CSTOPB | PARENB | CRTSCTS | HUPCL;
        dirty.c_iflag |= IXON | IXOFF | ICRNL | ISTRIP;
        dirty.c_lflag |= ECHO | ICANON | ISIG;
        dirty.c_oflag |= OPOST;
        cfsetspeed(&dirty, B9600);
        tcsetattr(fd, TCSANOW, &dirty);
        close(fd);
    }
    Channel channel;
    ASSERT_EQ(OpenChannel(channel.state, peer.SlavePath().c_str()), 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(channel.state.fd, &settings), 0);
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B57600));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (CSTOPB | PARENB | CRTSCTS | HUPCL), 0u);
    EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
    EXPECT_NE(settings.c_cflag & CREAD, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK), 0u);
    EXPECT_EQ(settings.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
}

class ChannelRead_ : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(OpenChannel(channel.state, peer.SlavePath().c_str()), 0); }

    // Waits until `count` bytes from the peer stand in the receive queue:
    // the kernel's part and the part the channel has already taken in. A
    // pseudo-terminal hands written bytes over a little later, not at once.
    bool Queued(int count) {
        return WaitUntil([&] {
            int inKernel = 0;
            if (ioctl(channel.state.fd, FIONREAD, &inKernel) != 0) return false;
            return inKernel + static_cast<int>(channel.state.received.count) >= count;
        });
    }
    PtyPeer peer;
    Channel channel;
    Event abort;
    std::uint8_t buffer[kFrameBufferSize]{};
};

TEST_F(ChannelRead_, WaitsForTheEndOfFrameAndDeliversAllQueued) {
    std::thread sender([&] {
        peer.Send({0x02, 0x11, 0x22});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        peer.Send({0x33, 0x03});
    });
    const int got = ChannelRead(channel.state, buffer, sizeof buffer, &abort);
    sender.join();
    ASSERT_EQ(got, 5);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{0x02, 0x11, 0x22, 0x33, 0x03}));
}

TEST_F(ChannelRead_, SilenceTimesOutAfterAQuarterSecond) {
    const auto start = Clock::now();
    EXPECT_EQ(ChannelRead(channel.state, buffer, sizeof buffer, &abort), kErrExchange);
    const double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 0.24);
    EXPECT_LT(elapsed, 1.5);
}

TEST_F(ChannelRead_, AbortIsSeenOnlyWhenTheReadWouldWait) {
    abort.Set();
    const auto start = Clock::now();
    EXPECT_EQ(ChannelRead(channel.state, buffer, sizeof buffer, &abort), kErrAborted);
    EXPECT_LT(SecondsSince(start), 0.2);

    // A reply that is already complete is read although the event is set.
    peer.Send({0x02, 0xFF, 0x03});
    ASSERT_TRUE(Queued(3));
    EXPECT_EQ(ChannelRead(channel.state, buffer, sizeof buffer, &abort), 3);
    EXPECT_TRUE(abort.IsSet());  // the channel never changes the event
}

TEST_F(ChannelRead_, AbortDuringTheWaitDoesNotCutItShort) {
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        abort.Set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(ChannelRead(channel.state, buffer, sizeof buffer, &abort), kErrExchange);
    EXPECT_GE(SecondsSince(start), 0.24);
    stopper.join();
    EXPECT_EQ(ChannelRead(channel.state, buffer, sizeof buffer, &abort), kErrAborted);
}

TEST_F(ChannelRead_, MoreQueuedThanAskedLeavesTheRest) {
    peer.Send({0x02, 0x01, 0x02, 0x03, 0x04, 0x05, 0x03});
    ASSERT_TRUE(Queued(7));
    EXPECT_EQ(ChannelRead(channel.state, buffer, 4, &abort), 4);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x02, 0x01, 0x02, 0x03}));
    // The rest is still queued and holds an ETX: read at once.
    EXPECT_EQ(ChannelRead(channel.state, buffer, sizeof buffer, &abort), 3);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x04, 0x05, 0x03}));
}

TEST_F(ChannelRead_, DiscardEmptiesTheReceiveQueue) {
    peer.Send({0x02, 0xFF, 0x03});
    ASSERT_TRUE(Queued(3));
    ChannelDiscardInput(channel.state);
    EXPECT_EQ(ChannelRead(channel.state, buffer, sizeof buffer, &abort), kErrExchange);
}

TEST_F(ChannelRead_, WriteReachesThePeer) {
    peer.Start(nullptr);
    const Bytes frame = FrameOf({0x00, 0xFF, 0x10});
    ASSERT_EQ(ChannelWrite(channel.state, frame.data(), static_cast<int>(frame.size())), 0);
    WaitUntil([&] { return peer.FrameCount() > 0; });
    ASSERT_EQ(peer.FrameCount(), 1);
    EXPECT_EQ(peer.Frames()[0], frame);
}

TEST_F(ChannelRead_, WriteToAPeerThatStopsReadingFailsWithinItsBound) {
    // Nobody reads the other end: once the kernel's buffers are full a write
    // waits for room that never comes, and must give up after the frame's
    // line time plus the margin.
    const Bytes frame = FrameOf(Bytes(1030, 0x10));
    const auto bound = std::chrono::microseconds(
        LineTimeUs(static_cast<std::int64_t>(frame.size())) + std::int64_t{kWriteMarginMs} * 1000);
    const auto limit = bound * 5 + std::chrono::seconds(2);
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        // A write without an end is freed by taking the line away, so the
        // fault fails the test instead of hanging it.
        if (!WaitUntil([&] { return finished.load(); }, limit + std::chrono::seconds(1)))
            peer.Unplug();
    });
    const auto start = Clock::now();
    auto writeStart = start;
    ResultCode result = kResultOk;
    for (int i = 0; i < 1000 && result == kResultOk; ++i) {  // 2 MB, far beyond any buffer
        writeStart = Clock::now();
        result = ChannelWrite(channel.state, frame.data(), static_cast<int>(frame.size()));
    }
    const auto lastWrite = Clock::now() - writeStart;
    const double elapsed = SecondsSince(start);
    finished = true;
    watchdog.join();
    EXPECT_EQ(result, kErrExchange);
    EXPECT_GE(lastWrite, std::chrono::milliseconds(kWriteMarginMs));  // it did wait for room
    EXPECT_LT(elapsed, std::chrono::duration<double>(limit).count());
}

TEST_F(ChannelRead_, VanishedPortFailsPromptly) {
    peer.Unplug();
    const auto start = Clock::now();
    EXPECT_EQ(ChannelRead(channel.state, buffer, sizeof buffer, &abort), kErrExchange);
    const Bytes frame = FrameOf({0x00, 0xFF, 0x10});
    EXPECT_EQ(ChannelWrite(channel.state, frame.data(), static_cast<int>(frame.size())),
              kErrExchange);
    EXPECT_LT(SecondsSince(start), 0.2);
    EXPECT_EQ(CloseChannel(channel.state), 0);
}

// A read that goes on with the wait before it keeps that wait's end; a line
// that trickles bytes after a start byte holds a read past it by no more
// than the longest frame's line time, not until Stop.
TEST(ChannelRead, TheReplyWaitEndsOnceAndAFrameStretchesItAtMostTheLongestFrame) {
    ReceiveQueue queue;
    ResetReceiveQueue(queue);
    const std::int64_t endUs = BeginReplyWait(queue, ReceiveClockUs() + 10'000'000, 250'000);
    ContinueReplyWait(queue);
    EXPECT_EQ(BeginReplyWait(queue, 0, 250'000), endUs);
    EXPECT_LT(BeginReplyWait(queue, 0, 250'000), endUs);  // the next read waits anew
    queue.bytes[0] = kStx;
    queue.count = 1;
    queue.lastArrivalUs = endUs + LineTimeUs(kFrameBufferSize);
    EXPECT_EQ(ReplyWaitEndUs(queue, endUs, 20'000), queue.lastArrivalUs);
}

// Listening hands over every byte as it comes, the line's echo included, and
// says when nothing more came by the deadline; a reply later than the reply
// wait is still caught.
TEST(ChannelListen, DeliversEchoAndReplyRawUntilTheDeadline) {
    SimOptions options;
    options.echo = true;
    LineRig rig(options);
    ASSERT_TRUE(rig.Start());
    rig.device.AddFault({kCommandPresence, 2, FaultKind::kDelay, 300});
    Channel channel;
    ASSERT_EQ(OpenChannel(channel.state, rig.device.SlavePath().c_str()), 0);

    struct Heard {
        Bytes bytes;
        std::int64_t replyEndUs = 0;  // when the chunk with the last expected byte came
        int last = 1;                 // the result that ended the listening
        std::int64_t lastUs = 0;
    };
    std::uint8_t chunk[kFrameBufferSize];
    auto probe = [&](std::uint8_t seq, std::int64_t listenUs) {
        const Bytes request = SimEncodeFrame(RequestPayload(seq, 255, kCommandPresence));
        Bytes whole = request;
        const Bytes reply = SimEncodeFrame(Bytes{seq, 255, kCommandPresence, 6});
        whole.insert(whole.end(), reply.begin(), reply.end());
        ChannelDiscardInput(channel.state);
        Heard heard;
        const std::int64_t t0 = ReceiveClockUs();
        EXPECT_EQ(ChannelWrite(channel.state, request.data(), static_cast<int>(request.size())), 0);
        while ((heard.last = ChannelListen(channel.state, chunk, sizeof chunk, t0 + listenUs,
                                           &rig.commandEvent)) > 0) {
            heard.bytes.insert(heard.bytes.end(), chunk, chunk + heard.last);
            if (heard.replyEndUs == 0 && heard.bytes.size() >= whole.size())
                heard.replyEndUs = ReceiveClockUs() - t0;
        }
        heard.lastUs = ReceiveClockUs() - t0;
        EXPECT_EQ(heard.bytes, whole);
        return heard;
    };

    const Heard prompt = probe(0, 300'000);
    EXPECT_EQ(prompt.last, 0);
    EXPECT_GE(prompt.lastUs, 300'000);

    const Heard late = probe(1, 1'000'000);
    EXPECT_EQ(late.last, 0);
    EXPECT_GE(late.replyEndUs, 250'000);
    EXPECT_LT(late.replyEndUs, 1'000'000);
    EXPECT_GE(late.lastUs, 1'000'000);

    rig.commandEvent.Set();
    EXPECT_EQ(
        ChannelListen(channel.state, chunk, 1, ReceiveClockUs() + 10'000'000, &rig.commandEvent),
        kErrAborted);
}

}  // namespace

namespace {

// A UART's RS-485 settings as the channel's two calls reach them: what it
// holds, how it answers, and every setting given to it.
struct FakeUart {
    serial_rs485 held{};
    int readError = 0;
    int writeError = 0;
    bool dropsMode = false;  // takes the settings, but not the mode itself
    std::vector<serial_rs485> writes;
};
FakeUart* g_uart = nullptr;

class Rs485Mode_ : public ::testing::Test {
  protected:
    void SetUp() override {
        uart.held.flags = SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX;
        uart.held.delay_rts_before_send = 7;
        uart.held.addr_recv = 5;
        before = uart.held;
        g_uart = &uart;
        SerialRs485Driver() = {[](int, serial_rs485& s) {
                                   s = g_uart->held;
                                   return g_uart->readError;
                               },
                               [](int, serial_rs485& s) {
                                   g_uart->writes.push_back(s);
                                   if (g_uart->writeError != 0) return g_uart->writeError;
                                   if (g_uart->dropsMode) s.flags &= ~__u32{SER_RS485_ENABLED};
                                   g_uart->held = s;
                                   return 0;
                               }};
    }
    void TearDown() override { SerialRs485Driver() = system; }
    bool Held(const serial_rs485& s) const { return std::memcmp(&uart.held, &s, sizeof s) == 0; }

    const SerialRs485Calls system = SerialRs485Driver();
    FakeUart uart;
    serial_rs485 before{};
    PtyPeer peer;
};

TEST_F(Rs485Mode_, EnabledAtEachOpenAndGivenBackAtEachClose) {
    {
        Channel channel;
        ChannelUseRs485(channel.state, {true, 2, 3});
        ASSERT_EQ(OpenChannel(channel.state, peer.SlavePath().c_str()), 0);
        // RTS high on send, low after; receiving while sending as it was.
        EXPECT_EQ(uart.held.flags,
                  SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RX_DURING_TX);
        EXPECT_EQ(uart.held.delay_rts_before_send, 2u);
        EXPECT_EQ(uart.held.delay_rts_after_send, 3u);
        EXPECT_EQ(uart.held.addr_recv, 5);
        // Opening again gives back first.
        ASSERT_EQ(OpenChannel(channel.state, peer.SlavePath().c_str()), 0);
        EXPECT_EQ(CloseChannel(channel.state), 0);
        EXPECT_TRUE(Held(before));
        ASSERT_EQ(OpenChannel(channel.state, peer.SlavePath().c_str()), 0);
        ChannelRestoreAtExit();  // a second Ctrl-C, which closes nothing
        EXPECT_TRUE(Held(before));
    }                                   // the channel's end closes it
    EXPECT_EQ(uart.writes.size(), 7u);  // each open enables, each close restores
}

// Each refusal: -2016 with its reason, the port closed and free, the UART as
// it was.
TEST_F(Rs485Mode_, RefusedOpenLeavesNothingChanged) {
    struct Case {
        int readError, writeError;
        bool dropsMode, realDriver;
        const char* reason;
    };
    const char* none = "this port's driver has no RS-485 mode";
    const Case cases[] = {{ENOTTY, 0, false, false, none},
                          {ENOSYS, 0, false, false, none},
                          {0, EINVAL, false, false, none},
                          {0, 0, true, false, none},
                          {EIO, 0, false, false, "refuses the RS-485 mode"},
                          {0, 0, false, true, none}};  // last: a pseudo-terminal's own driver
    for (const Case& c : cases) {
        uart = {before, c.readError, c.writeError, c.dropsMode, {}};
        if (c.realDriver) SerialRs485Driver() = system;
        Channel channel;
        ChannelUseRs485(channel.state, {true, 0, 0});
        EXPECT_EQ(OpenChannel(channel.state, peer.SlavePath().c_str()), kErrPortOpen);
        EXPECT_FALSE(ChannelIsOpen(channel.state));
        EXPECT_NE(std::strstr(channel.state.lastError, c.reason), nullptr)
            << channel.state.lastError;
        EXPECT_TRUE(Held(before)) << c.reason << c.readError;
        ChannelUseRs485(channel.state, {});
        EXPECT_EQ(OpenChannel(channel.state, peer.SlavePath().c_str()), 0);
        CloseChannel(channel.state);  // without the mode: not a call
        EXPECT_LE(uart.writes.size(), 2u) << c.reason << c.readError;
    }
}

}  // namespace
