#include "transport/net_socket.h"
#include "transport/network_channel.h"
#include "transport/network_port_name.h"
#include "transport/telnet.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ser2net_server.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct ValidName {
    std::string name;
    NetworkKind kind;
    const char* host;
    const char* service;
    int latencyMs;
};

TEST(NetworkPortName, ParsesValidNamesAndRefusesTheRest) {
    const std::string longest(255, 'h');  // host[256] with its terminator
    const ValidName cases[] = {
        {"socket://localhost:4001", NetworkKind::kRawSocket, "localhost", "4001", 100},
        {"rfc2217://10.0.0.7:2217?latency=250", NetworkKind::kRfc2217, "10.0.0.7", "2217", 250},
        {"RFC2217://[::1]:04001", NetworkKind::kRfc2217, "::1", "4001", 100},
        {"Socket://[fe80::1%eth0]:65535?latency=0", NetworkKind::kRawSocket, "fe80::1%eth0",
         "65535", 0},
        {"socket://serial-1.plant:1?latency=10000", NetworkKind::kRawSocket, "serial-1.plant", "1",
         10000},
        {"socket://" + longest + ":80", NetworkKind::kRawSocket, longest.c_str(), "80", 100},
    };
    for (const ValidName& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NetworkKindOf(c.name), c.kind);
        NetworkPortName parsed;
        const char* problem = nullptr;
        ASSERT_TRUE(ParseNetworkPortName(c.name, parsed, problem)) << problem;
        EXPECT_EQ(parsed.kind, c.kind);
        EXPECT_STREQ(parsed.host, c.host);
        EXPECT_STREQ(parsed.service, c.service);
        EXPECT_EQ(parsed.latencyMs, c.latencyMs);
    }

    const std::string tooLong = "socket://h" + longest + ":80";  // one past host[256]
    // clang-format off
    const std::string_view malformed[] = {
        "socket://host:0", "socket://host:65536", "socket://host:99999999999",
        "socket://host", "socket://host:", "rfc2217://:4001", "rfc2217://",
        "socket://::1:4001", "socket://[::1]", "socket://[::1]4001", "socket://[::1:4001",
        "socket://[]:4001", "socket://[host]:4001",
        "socket://host:4001/", "socket://host:+4001", "socket://ho st:4001",
        "socket://host:4001?latency=10001", "socket://host:4001?latency=",
        "socket://host:4001?latency=-1", "socket://host:4001?latency=5&x=1",
        "socket://host:4001?timeout=5", "socket://host:4001?", tooLong};
    // clang-format on
    for (const std::string_view name : malformed) {
        SCOPED_TRACE(name);
        EXPECT_NE(NetworkKindOf(name), NetworkKind::kNone);
        NetworkPortName parsed;
        const char* problem = nullptr;
        EXPECT_FALSE(ParseNetworkPortName(name, parsed, problem));
        ASSERT_NE(problem, nullptr);
        EXPECT_NE(problem[0], '\0');
    }
    for (const char* local : {"COM3", "/dev/ttyUSB0", "socket:/host:4001", "tcp://host:4001", ""}) {
        EXPECT_EQ(NetworkKindOf(local), NetworkKind::kNone) << local;
    }
}

constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240,
                       NOP = 241, BINARY = 0, ECHO = 1, SGA = 3, TTYPE = 24, COMPORT = 44;

TEST(Telnet, OpeningOffersOptionsThenSetsTheLine) {
    const Bytes opening = {IAC, WILL, BINARY, IAC, DO,  BINARY, IAC,    WILL,
                           SGA, IAC,  DO,     SGA, IAC, WILL,   COMPORT};
    std::uint8_t out[telnet::kOpeningBound];
    EXPECT_EQ(Bytes(out, out + telnet::WriteOpening(out, sizeof out)), opening);
    EXPECT_EQ(telnet::WriteOpening(out, opening.size() - 1), 0u);

    // clang-format off
    const Bytes expected = {
        IAC, SB, COMPORT, 1, 0x00, 0x00, 0xE1, 0x00, IAC, SE,  // SET-BAUDRATE 57600
        IAC, SB, COMPORT, 2, 8, IAC, SE,                       // SET-DATASIZE 8
        IAC, SB, COMPORT, 3, 1, IAC, SE,                       // SET-PARITY NONE
        IAC, SB, COMPORT, 4, 1, IAC, SE,                       // SET-STOPSIZE 1
        IAC, SB, COMPORT, 5, 1, IAC, SE,                       // SET-CONTROL no flow control
        IAC, SB, COMPORT, 5, 8, IAC, SE,                       // SET-CONTROL DTR ON
        IAC, SB, COMPORT, 5, 12, IAC, SE};                     // SET-CONTROL RTS OFF
    // clang-format on
    const std::size_t length = telnet::WriteLineSettings(out, sizeof out);
    EXPECT_EQ(Bytes(out, out + length), expected);
    EXPECT_EQ(telnet::WriteLineSettings(out, expected.size() - 1), 0u);

    const Bytes purge = {IAC, SB, COMPORT, 12, 1, IAC, SE};  // PURGE-DATA receive buffer
    EXPECT_EQ(Bytes(out, out + telnet::WritePurgeReceive(out, sizeof out)), purge);
    EXPECT_EQ(telnet::WritePurgeReceive(out, purge.size() - 1), 0u);
}

TEST(Telnet, EscapeDoublesEveryIacAndRefusesTooSmallRoom) {
    const Bytes data = {0x02, IAC, 0x10, IAC, IAC, 0x03};
    std::uint8_t out[2 * 6];
    const std::size_t length = telnet::Escape(data.data(), data.size(), out, sizeof out);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{0x02, IAC, IAC, 0x10, IAC, IAC, IAC, IAC, 0x03}));
    EXPECT_EQ(telnet::Escape(data.data(), data.size(), out, sizeof out - 1), 0u);
}

struct Decoded {
    Bytes data, reply;
    telnet::ComPortAnswer comPort;
    std::uint32_t purgeAnswers;
    telnet::LineAnswers line;
    bool binaryRefused;
};

// Feeds `stream` in pieces of `piece` bytes, each its own Decode call.
Decoded DecodeInPieces(const Bytes& stream, std::size_t piece) {
    telnet::Decoder decoder;
    Decoded result;
    std::uint8_t out[256];
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t length = std::min(piece, stream.size() - at);
        const std::size_t n = telnet::Decode(decoder, stream.data() + at, length, out, sizeof out);
        result.data.insert(result.data.end(), out, out + n);
        result.reply.insert(result.reply.end(), decoder.reply, decoder.reply + decoder.replyLength);
        decoder.replyLength = 0;
    }
    result.comPort = decoder.comPort;
    result.purgeAnswers = decoder.purgeAnswers;
    result.line = decoder.line;
    result.binaryRefused = decoder.binaryRefused;
    return result;
}

TEST(Telnet, DecodeSeparatesDataFromCommandsHoweverTheStreamIsCut) {
    // clang-format off
    const Bytes stream = {
        'A', IAC, NOP, IAC, IAC, 'B',                       // a NOP, an escaped 0xFF
        IAC, DO, TTYPE, IAC, WILL, ECHO,                    // refused once each ...
        IAC, DO, TTYPE, IAC, WILL, ECHO,                    // ... not again
        IAC, WILL, TTYPE,                                   // the other way: its own answer
        IAC, DO, BINARY, IAC, WILL, BINARY,                 // agreed already
        IAC, DO, SGA, IAC, WILL, SGA,
        IAC, WONT, 5, IAC, DONT, 6,                         // nothing to answer
        IAC, DO, COMPORT,                                   // the server takes the settings
        IAC, SB, COMPORT, 101, 0x00, 0x00, 0xE1, 0x00, IAC, SE,  // and answers them
        IAC, SB, COMPORT, 102, 8, IAC, SE,
        IAC, SB, COMPORT, 103, 3, IAC, SE,
        IAC, SB, COMPORT, 104, 5, 6, IAC, SE,               // the value leads, whatever follows
        IAC, SB, COMPORT, 107, IAC, IAC, SE, 'Z', IAC, SE,  // IAC IAC SE does not end it
        IAC, SB, COMPORT, 112, 1, IAC, SE,                  // two purges confirmed
        IAC, SB, COMPORT, 107, 112, IAC, SE,
        IAC, SB, COMPORT, 112, 1, IAC, SE,
        'C', IAC, IAC};
    // clang-format on
    const Decoded whole = DecodeInPieces(stream, stream.size());
    EXPECT_EQ(whole.data, (Bytes{'A', IAC, 'B', 'C', IAC}));
    EXPECT_EQ(whole.reply, (Bytes{IAC, WONT, TTYPE, IAC, DONT, ECHO, IAC, DONT, TTYPE}));
    EXPECT_EQ(whole.comPort, telnet::ComPortAnswer::kAccepted);
    EXPECT_EQ(whole.purgeAnswers, 2u);
    EXPECT_EQ(whole.line.baudRate, 57600u);
    EXPECT_EQ(whole.line.dataSize, 8u);
    EXPECT_EQ(whole.line.parity, 3u);
    EXPECT_EQ(whole.line.stopSize, 5u);
    EXPECT_EQ(whole.line.answered, (1u << 1) | (1u << 2) | (1u << 3) | (1u << 4));
    EXPECT_FALSE(whole.binaryRefused);

    for (const std::size_t piece : {1u, 2u, 3u}) {
        SCOPED_TRACE(piece);
        const Decoded cut = DecodeInPieces(stream, piece);
        EXPECT_EQ(cut.data, whole.data);
        EXPECT_EQ(cut.reply, whole.reply);
        EXPECT_EQ(cut.comPort, whole.comPort);
        EXPECT_EQ(cut.purgeAnswers, whole.purgeAnswers);
        EXPECT_EQ(cut.line.baudRate, whole.line.baudRate);
        EXPECT_EQ(cut.line.answered, whole.line.answered);
    }

    EXPECT_EQ(DecodeInPieces({IAC, DO, COMPORT, IAC, DONT, COMPORT}, 6).comPort,
              telnet::ComPortAnswer::kRefused);
    EXPECT_TRUE(DecodeInPieces({IAC, WONT, BINARY}, 3).binaryRefused);
    EXPECT_TRUE(DecodeInPieces({IAC, DONT, BINARY}, 3).binaryRefused);
}

// A subnegotiation the server never closes ends at the next command, which
// is taken, or after the longest one followed; the stream goes on after it.
TEST(Telnet, AnUnclosedSubnegotiationDoesNotSwallowWhatFollows) {
    const Bytes longSub(telnet::kLongestSubnegotiation - 2, 'x');
    struct Case {
        const char* what;
        Bytes stream;
        Bytes data, reply;
        telnet::ComPortAnswer comPort;
    } cases[] = {
        {"a command after it",
         {IAC, SB, COMPORT, 107, 1, IAC, DO, COMPORT, 'A', IAC, WILL, ECHO, 'B'},
         {'A', 'B'},
         {IAC, DONT, ECHO},
         telnet::ComPortAnswer::kAccepted},
        {"data after the longest one", {IAC, SB, COMPORT, 107}, {'A', 'B'}, {}, {}},
    };
    cases[1].stream.insert(cases[1].stream.end(), longSub.begin(), longSub.end());
    cases[1].stream.insert(cases[1].stream.end(), {'A', 'B'});
    for (const Case& c : cases) {
        for (const std::size_t piece : {c.stream.size(), std::size_t{1}}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            const Decoded decoded = DecodeInPieces(c.stream, piece);
            EXPECT_EQ(decoded.data, c.data);
            EXPECT_EQ(decoded.reply, c.reply);
            EXPECT_EQ(decoded.comPort, c.comPort);
        }
    }
}

TEST(Telnet, AnswersBeyondTheReplyBufferAreDroppedNotOverrun) {
    telnet::Decoder decoder;
    Bytes flood;
    for (std::uint8_t option = 100; option < 130; ++option)
        flood.insert(flood.end(), {IAC, DO, option});
    std::uint8_t out[128];
    EXPECT_EQ(telnet::Decode(decoder, flood.data(), flood.size(), out, sizeof out), 0u);
    EXPECT_EQ(decoder.replyLength, sizeof decoder.reply / 3 * 3);
    EXPECT_EQ(decoder.reply[decoder.replyLength - 1], 100 + decoder.replyLength / 3 - 1);
}

// A server on [::1] that listens and never accepts; -1 without IPv6.
int ListenOnIpv6Loopback(int& port) {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(address.sin6_port);
    return fd;
}

// A resolved name's address list, made by hand: loopback ports, IPv4 or
// (negative port numbers) IPv6, in the order given.
class AddressList {
  public:
    explicit AddressList(const std::vector<int>& ports) : v4_(ports.size()), v6_(ports.size()) {
        list_.resize(ports.size());
        for (std::size_t i = 0; i < ports.size(); ++i) {
            addrinfo& a = list_[i];
            a.ai_socktype = SOCK_STREAM;
            a.ai_protocol = IPPROTO_TCP;
            if (ports[i] >= 0) {
                v4_[i].sin_family = AF_INET;
                v4_[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                v4_[i].sin_port = htons(static_cast<std::uint16_t>(ports[i]));
                a.ai_family = AF_INET;
                a.ai_addr = reinterpret_cast<sockaddr*>(&v4_[i]);
                a.ai_addrlen = sizeof v4_[i];
            } else {
                v6_[i].sin6_family = AF_INET6;
                v6_[i].sin6_addr = in6addr_loopback;
                v6_[i].sin6_port = htons(static_cast<std::uint16_t>(-ports[i]));
                a.ai_family = AF_INET6;
                a.ai_addr = reinterpret_cast<sockaddr*>(&v6_[i]);
                a.ai_addrlen = sizeof v6_[i];
            }
            a.ai_next = i + 1 < ports.size() ? &list_[i + 1] : nullptr;
        }
    }
    const addrinfo* Head() const { return list_.data(); }

  private:
    std::vector<sockaddr_in> v4_;
    std::vector<sockaddr_in6> v6_;
    std::vector<addrinfo> list_;
};

// The port at the far end of a connection.
int PeerPort(const NetSocket& socket) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(socket.fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return -1;
    return peer.ss_family == AF_INET6 ? -ntohs(reinterpret_cast<sockaddr_in6&>(peer).sin6_port)
                                      : ntohs(reinterpret_cast<sockaddr_in&>(peer).sin_port);
}

// An address that does not answer takes a share of the bound, not all of
// it: the next is tried after kAttemptDelayMs while the first goes on, an
// address that fails at once hands over at once, and the families take
// turns. No answer anywhere still ends at the one bound.
TEST(NetSocket, AnAddressThatDoesNotAnswerLeavesTheOthersTheirTurn) {
    DeafServer deaf;
    ASSERT_TRUE(deaf.Listening());
    int v4Port = 0;
    const int v4 = ListenOnLoopback(v4Port);
    ASSERT_GE(v4, 0);
    int v6Port = 0;
    const int v6 = ListenOnIpv6Loopback(v6Port);
    const int refused = FreeLoopbackPort();
    const int d = deaf.Port();
    const struct {
        const char* what;
        std::vector<int> ports;  // negative: [::1]
        int boundMs;
        int reached;  // the port connected to; 0: none
    } cases[] = {
        {"deaf, then listening", {d, v4Port}, 3000, v4Port},
        {"refused, then listening", {refused, v4Port}, 3000, v4Port},
        // IPv6 after four IPv4 addresses is the second tried, at ~250 ms; in
        // turn it would start only as the bound ends.
        {"IPv4 deaf four times, then IPv6", {d, d, d, d, -v6Port}, 1000, -v6Port},
        {"deaf only", {d, d}, 600, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.reached < 0 && v6 < 0) continue;  // no IPv6 here
        const AddressList addresses(c.ports);
        NetSocket socket;
        char reason[160] = {};
        const auto started = std::chrono::steady_clock::now();
        const ResultCode result = SocketConnectAny(
            socket, addresses.Head(), started + std::chrono::milliseconds(c.boundMs), nullptr,
            "localhost", "1", c.boundMs, reason, sizeof reason);
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
        if (c.reached != 0) {
            EXPECT_EQ(result, kResultOk) << reason;
            EXPECT_EQ(PeerPort(socket), c.reached);
            // ~250 ms expected; the first address alone would take it all
            EXPECT_LT(tookMs, c.boundMs == 3000 ? 2000 : c.boundMs);
        } else {
            EXPECT_EQ(result, kErrPortOpen);
            EXPECT_NE(std::string(reason).find("no answer within 600 ms"), std::string::npos)
                << reason;
            EXPECT_GE(tookMs, c.boundMs - 20);
            EXPECT_LT(tookMs, 3 * c.boundMs);
        }
        SocketClose(socket);
    }
    if (v6 >= 0) ::close(v6);
    ::close(v4);
}

// What RFC 2217 servers other than ser2net may do during the opening. The
// settings go out only once the server agreed, and a line it does not set
// as asked, or a refusal of BINARY, fails the open with the reason.
TEST(NetworkChannel, TheOpeningHoldsTheServerToTheLineAskedFor) {
    using Chunks = std::vector<Bytes>;
    const Bytes agree = {IAC, DO,  BINARY, IAC, WILL, BINARY, IAC,    DO,
                         SGA, IAC, WILL,   SGA, IAC,  DO,     COMPORT};
    const Bytes opening = {IAC, WILL, COMPORT};
    const Bytes settings = {IAC, SB, COMPORT, 5, 12, IAC, SE};  // the last of them, RTS OFF
    const auto answers = [](std::uint32_t baud) {
        const auto b = [baud](int shift) { return static_cast<std::uint8_t>(baud >> shift); };
        return Bytes{IAC, SB,      COMPORT, 101, b(24),   b(16), b(8), b(0), IAC,     SE,  IAC,
                     SB,  COMPORT, 102,     8,   IAC,     SE,    IAC,  SB,   COMPORT, 103, 1,
                     IAC, SE,      IAC,     SB,  COMPORT, 104,   1,    IAC,  SE};
    };
    const Bytes right = answers(57600);
    Chunks split;  // cut inside commands and values
    for (std::size_t at = 0; at < right.size(); at += 3)
        split.emplace_back(
            right.begin() + static_cast<std::ptrdiff_t>(at),
            right.begin() + static_cast<std::ptrdiff_t>(std::min(at + 3, right.size())));
    Bytes longRate = right;  // sredird's: an eight-byte long, four zeros after the rate
    longRate.insert(longRate.begin() + 8, 4, 0);
    Bytes evenParity = right;
    evenParity[21] = 3;  // the answer to SET-PARITY
    const struct {
        const char* what;
        std::vector<ScriptedServer::Step> script;
        ResultCode result;
        const char* reason;
    } cases[] = {
        {"answers split across segments",
         {{opening, {{IAC}, {DO, BINARY, IAC, WILL}, {BINARY}, {agree.begin() + 6, agree.end()}}},
          {settings, split}},
         kResultOk,
         ""},
        {"the rate as sredird answers it",
         {{opening, {agree}}, {settings, {longRate}}},
         kResultOk,
         ""},
        {"another parity",
         {{opening, {agree}}, {settings, {evenParity}}},
         kErrPortOpen,
         "the server set even parity, not none"},
        {"another rate",
         {{opening, {agree}}, {settings, {answers(9600)}}},
         kErrPortOpen,
         "the server set 9600 baud, not 57600"},
        {"other framing",
         {{opening, {agree}},
          {settings, {{IAC, SB,      COMPORT, 101, 0,       0,   0xE1, 0,   IAC,     SE,  IAC,
                       SB,  COMPORT, 102,     7,   IAC,     SE,  IAC,  SB,  COMPORT, 103, 1,
                       IAC, SE,      IAC,     SB,  COMPORT, 104, 1,    IAC, SE}}}},
         kErrPortOpen,
         "the server set 7 data bits, not 8"},
        {"BINARY refused",
         {{opening, {{IAC, WONT, BINARY, IAC, DONT, BINARY, IAC, DO, COMPORT}}}},
         kErrPortOpen,
         "BINARY"},
        {"COM-PORT-OPTION refused",
         {{opening, {{IAC, DONT, COMPORT}}}},
         kErrPortOpen,
         "refuses the COM-PORT-OPTION"},
        {"closed at once", {{{}, {}, true}}, kErrPortOpen, "closed the connection"},
        {"closed before the answers",
         {{opening, {agree}}, {settings, {}, true}},
         kErrPortOpen,
         "closed the connection before answer to the line settings"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(c.script);
        ASSERT_TRUE(server.Listening());
        auto channel = std::make_unique<NetworkChannel>();
        char reason[256] = {};
        const auto started = std::chrono::steady_clock::now();
        const ResultCode result =
            OpenNetworkChannel(*channel, server.Url().c_str(), nullptr, reason, sizeof reason);
        EXPECT_EQ(result, c.result) << reason;
        EXPECT_NE(std::string(reason).find(c.reason), std::string::npos) << reason;
        // Every case is decided by what the server said or did, well before
        // the open bound.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
        EXPECT_EQ(NetworkChannelIsOpen(*channel), result == kResultOk);
        CloseNetworkChannel(*channel);
        EXPECT_FALSE(server.SubnegotiationBeforeFirstStep());
    }
}

}  // namespace
