// The server is asked for BINARY both ways and for the COM-PORT-OPTION
// first, and given the line settings only once it has agreed: a server that
// has not (yet) agreed may take the subnegotiations for something else or
// drop them. Each setting it answers with the value it set, which is held
// against the one asked for: a line left at another rate or framing would
// only show later as a device that never answers.
#include "transport/com_port_negotiation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/event.h"
#include "transport/network_channel.h"

namespace {

int MsUntil(std::int64_t deadlineUs) {
    using namespace std::chrono;
    const std::int64_t now =
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
    return deadlineUs <= now ? 0 : static_cast<int>((deadlineUs - now + 999) / 1000);
}

ResultCode Fail(char* reason, std::size_t reasonSize, const char* portName, const char* what) {
    std::snprintf(reason, reasonSize, "%s: %s", portName, what);
    return kErrPortOpen;
}

enum class Awaited { kDone, kClosed, kFailed, kTimedOut, kAborted };

// Reads the server's negotiation until `done` holds of the decoder, the
// deadline passes or the connection ends.
Awaited AwaitServer(NetworkChannel& channel, bool (*done)(const telnet::Decoder&),
                    std::int64_t deadlineUs, const Event* abort) {
    constexpr int kSliceMs = 20;
    for (;;) {
        if (!TakeArrivedBytes(channel)) return Awaited::kClosed;
        if (done(channel.decoder)) return Awaited::kDone;
        if (abort != nullptr && abort->IsSet()) return Awaited::kAborted;
        const int left = MsUntil(deadlineUs);
        if (left == 0) return Awaited::kTimedOut;
        if (SocketWait(channel.socket, std::min(left, kSliceMs)) < 0) return Awaited::kFailed;
    }
}

// The server answers our offers in the order they went out, so a refusal of
// BINARY comes before its answer to the COM-PORT-OPTION.
bool ComPortAnswered(const telnet::Decoder& decoder) {
    return decoder.binaryRefused || decoder.comPort != telnet::ComPortAnswer::kNone;
}

bool LineAnswered(const telnet::Decoder& decoder) {
    return decoder.binaryRefused || decoder.line.answered == telnet::kAllLineAnswers;
}

const char* ParityName(std::uint8_t parity) {
    switch (parity) {
        case 1:
            return "none";
        case 2:
            return "odd";
        case 3:
            return "even";
        case 4:
            return "mark";
        case 5:
            return "space";
        default:
            return "unknown";
    }
}

const char* StopSizeName(std::uint8_t stopSize) {
    switch (stopSize) {
        case 1:
            return "1";
        case 2:
            return "2";
        case 3:
            return "1.5";
        default:
            return "unknown";
    }
}

// Why the line is not as asked, or nullptr when it is.
const char* LineMismatch(const telnet::LineAnswers& line, char* text, std::size_t size) {
    if (line.baudRate != telnet::kBaudRate) {
        std::snprintf(text, size, "the server set %lu baud, not %lu",
                      static_cast<unsigned long>(line.baudRate),
                      static_cast<unsigned long>(telnet::kBaudRate));
    } else if (line.dataSize != telnet::kDataSizeEight) {
        std::snprintf(text, size, "the server set %u data bits, not %u", line.dataSize,
                      telnet::kDataSizeEight);
    } else if (line.parity != telnet::kParityNone) {
        std::snprintf(text, size, "the server set %s parity, not none", ParityName(line.parity));
    } else if (line.stopSize != telnet::kStopSizeOne) {
        std::snprintf(text, size, "the server set %s stop bits, not 1",
                      StopSizeName(line.stopSize));
    } else {
        return nullptr;
    }
    return text;
}

// The settings the server has not answered, for the reason.
void ListUnanswered(std::uint8_t answered, char* text, std::size_t size) {
    static constexpr struct {
        std::uint8_t command;
        const char* name;
    } kSettings[] = {{telnet::kSetBaudRate, "SET-BAUDRATE"},
                     {telnet::kSetDataSize, "SET-DATASIZE"},
                     {telnet::kSetParity, "SET-PARITY"},
                     {telnet::kSetStopSize, "SET-STOPSIZE"}};
    std::size_t used = 0;
    text[0] = '\0';
    for (const auto& setting : kSettings) {
        if ((answered & (1u << setting.command)) != 0 || used >= size) continue;
        const int n =
            std::snprintf(text + used, size - used, "%s%s", used == 0 ? "" : ", ", setting.name);
        if (n > 0) used += static_cast<std::size_t>(n);
    }
}

ResultCode FailAwait(Awaited outcome, char* reason, std::size_t reasonSize, const char* portName,
                     const char* waitingFor) {
    char what[160];
    switch (outcome) {
        case Awaited::kAborted:
            return kErrAborted;
        case Awaited::kClosed:
            std::snprintf(what, sizeof what, "the server closed the connection before %s",
                          waitingFor);
            break;
        case Awaited::kFailed:
            std::snprintf(what, sizeof what, "the connection failed before %s", waitingFor);
            break;
        case Awaited::kTimedOut:
        case Awaited::kDone:
            std::snprintf(what, sizeof what, "no %s within %d s", waitingFor,
                          kNetworkOpenBoundMs / 1000);
            break;
    }
    return Fail(reason, reasonSize, portName, what);
}

constexpr const char* kBinaryRefused =
    "the server refuses binary transmission (Telnet BINARY), which would alter the device's "
    "replies";

}  // namespace

ResultCode NegotiateComPort(NetworkChannel& channel, std::int64_t deadlineUs, const Event* abort,
                            const char* portName, char* reason, std::size_t reasonSize) {
    std::size_t length = telnet::WriteOpening(channel.outgoing, sizeof channel.outgoing);
    if (!SocketSendAll(channel.socket, channel.outgoing, length, MsUntil(deadlineUs))) {
        return Fail(reason, reasonSize, portName, "the server took no negotiation");
    }
    Awaited outcome = AwaitServer(channel, ComPortAnswered, deadlineUs, abort);
    if (outcome != Awaited::kDone) {
        return FailAwait(outcome, reason, reasonSize, portName,
                         "answer to the COM-PORT-OPTION (RFC 2217)");
    }
    if (channel.decoder.binaryRefused) return Fail(reason, reasonSize, portName, kBinaryRefused);
    if (channel.decoder.comPort == telnet::ComPortAnswer::kRefused) {
        return Fail(reason, reasonSize, portName,
                    "the server refuses the COM-PORT-OPTION (RFC 2217)");
    }

    channel.decoder.line = telnet::LineAnswers{};
    length = telnet::WriteLineSettings(channel.outgoing, sizeof channel.outgoing);
    if (!SocketSendAll(channel.socket, channel.outgoing, length, MsUntil(deadlineUs))) {
        return Fail(reason, reasonSize, portName, "the server took no line settings");
    }
    // RFC 2217 has the server answer every setting. One that does not is
    // not taken on trust: whether it set the line cannot be known, and a
    // line left wrong would only show as a device that never answers.
    outcome = AwaitServer(channel, LineAnswered, deadlineUs, abort);
    if (outcome != Awaited::kDone) {
        char missing[80];
        ListUnanswered(channel.decoder.line.answered, missing, sizeof missing);
        char waitingFor[128];
        std::snprintf(waitingFor, sizeof waitingFor, "answer to the line settings (%s)", missing);
        return FailAwait(outcome, reason, reasonSize, portName, waitingFor);
    }
    if (channel.decoder.binaryRefused) return Fail(reason, reasonSize, portName, kBinaryRefused);
    char mismatch[96];
    if (const char* why = LineMismatch(channel.decoder.line, mismatch, sizeof mismatch)) {
        return Fail(reason, reasonSize, portName, why);
    }
    return kResultOk;
}
