// Telnet as a serial server speaks it, with the COM-PORT-OPTION of RFC 2217:
// the opening negotiation, the line settings and the server's answers to
// them, the purge of the server's
// receive buffer, IAC doubling on the way out, and a decoder that separates
// data from commands on the way in and collects the answers the server's own
// negotiation needs. Platform-neutral; fixed buffers, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kOptionBinary = 0;
inline constexpr std::uint8_t kOptionSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptionComPort = 44;

// COM-PORT-OPTION commands, client to server (the server answers each with
// the command plus 100).
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kPurgeData = 12;

// The line the device speaks, as the settings ask the server for it.
inline constexpr std::uint32_t kBaudRate = 57600;
inline constexpr std::uint8_t kDataSizeEight = 8;
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kStopSizeOne = 1;
inline constexpr std::uint8_t kControlNoFlowControl = 1;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlRtsOff = 12;
inline constexpr std::uint8_t kPurgeReceive = 1;  // the server's receive buffer

// The longest subnegotiation the decoder follows to its end. A server's
// answers and notifications hold a few value bytes and its signature a line
// of text; past this the server is taken never to have closed it, and
// what follows is read as the stream again.
inline constexpr std::size_t kLongestSubnegotiation = 256;

// Bytes the opening negotiation takes at most, and a frame of the longest
// kind (2074 bytes) once every byte is doubled.
inline constexpr std::size_t kOpeningBound = 96;
inline constexpr std::size_t kEscapedFrameBound = 2 * 2074;

enum class ComPortAnswer : std::uint8_t { kNone, kAccepted, kRefused };

// The server's answers to the line settings: each is the value it set, which
// may not be the one asked for. `answered` has bit N set once the answer to
// COM-PORT command N (kSetBaudRate .. kSetStopSize) has come.
struct LineAnswers {
    std::uint32_t baudRate = 0;
    std::uint8_t dataSize = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopSize = 0;
    std::uint8_t answered = 0;
};
inline constexpr std::uint8_t kAllLineAnswers =
    (1u << kSetBaudRate) | (1u << kSetDataSize) | (1u << kSetParity) | (1u << kSetStopSize);

struct Decoder {
    // Where the decoder stands within a command that a read cut in two.
    enum class Phase : std::uint8_t { kData, kCommand, kOption, kSub, kSubIac };
    Phase phase = Phase::kData;
    std::uint8_t command = 0;  // WILL, WONT, DO or DONT awaiting its option
    // How the server answered our WILL COM-PORT-OPTION: DO accepts it, DONT
    // refuses it.
    ComPortAnswer comPort = ComPortAnswer::kNone;
    // The server refused BINARY one way or the other (WONT or DONT): it would
    // then pad every CR in a reply with a NUL, or strip ours.
    bool binaryRefused = false;
    LineAnswers line;
    // Options whose negotiation has been answered once already, a bit per
    // option number for the server's DO and for its WILL (two negotiations
    // of their own), so that a server repeating itself cannot start a loop.
    std::uint8_t answeredDo[32] = {};
    std::uint8_t answeredWill[32] = {};
    // The option, command and first value bytes of the subnegotiation being
    // read, and how many of its bytes have been seen.
    std::uint8_t subOption = 0;
    std::uint8_t subCommand = 0;
    std::uint8_t subValue[4] = {};
    std::uint16_t subLength = 0;
    // How many times the server has confirmed a purge (PURGE-DATA + 100).
    std::uint32_t purgeAnswers = 0;
    // Answers to send to the server, collected by Decode; the caller sends
    // them and sets replyLength to 0.
    std::uint8_t reply[64] = {};
    std::size_t replyLength = 0;
};

// Writes the opening negotiation into `out`: WILL and DO BINARY, WILL and DO
// SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION. Returns its length (0 when `room`
// is too small).
std::size_t WriteOpening(std::uint8_t* out, std::size_t room);

// Writes the line settings as COM-PORT subnegotiations, for once the server
// has agreed to the option: 57600 baud, 8 data bits, no parity, one stop bit,
// no flow control, DTR on, RTS off. Returns its length (0 when `room` is too
// small; kOpeningBound is enough).
std::size_t WriteLineSettings(std::uint8_t* out, std::size_t room);

// Writes the request to purge the server's receive buffer. Returns its
// length (0 when `room` is too small).
std::size_t WritePurgeReceive(std::uint8_t* out, std::size_t room);

// Copies `length` data bytes into `out`, each 0xFF doubled. Returns the
// length written, or 0 when `room` is too small for the worst case.
std::size_t Escape(const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                   std::size_t room);

// Decodes `length` received bytes: data bytes go to `out` (IAC IAC becomes
// one 0xFF), commands are consumed, and the server's WILL/DO for options we
// did not offer are refused (DONT/WONT) into `decoder.reply`, once per
// option; DO and DONT COM-PORT-OPTION set `decoder.comPort`, WONT and DONT
// BINARY `decoder.binaryRefused`. Subnegotiations never reach `out`: the
// server's answers to the line settings go to `decoder.line`, its purge
// confirmations are counted, the rest is skipped. A subnegotiation ends at
// IAC SE, at any other command (the server never closed it; the command is
// taken) or after kLongestSubnegotiation bytes. Returns the
// number of data bytes written; `room` must be at least `length`.
std::size_t Decode(Decoder& decoder, const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                   std::size_t room);

}  // namespace telnet
