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

}  // namespace

// Sends the opening negotiation with the line settings and waits for the
// server to accept the COM-PORT-OPTION.
ResultCode NegotiateComPort(NetworkChannel& channel, std::int64_t deadlineUs, const Event* abort,
                            const char* portName, char* reason, std::size_t reasonSize) {
    const std::size_t length = telnet::WriteOpening(channel.outgoing, sizeof channel.outgoing);
    if (!SocketSendAll(channel.socket, channel.outgoing, length, MsUntil(deadlineUs))) {
        return Fail(reason, reasonSize, portName, "the server took no negotiation");
    }
    constexpr int kSliceMs = 20;
    for (;;) {
        if (!TakeArrivedBytes(channel)) {
            return Fail(reason, reasonSize, portName, "the server closed the connection");
        }
        switch (channel.decoder.comPort) {
            case telnet::ComPortAnswer::kAccepted:
                return kResultOk;
            case telnet::ComPortAnswer::kRefused:
                return Fail(reason, reasonSize, portName,
                            "the server refuses the COM-PORT-OPTION (RFC 2217)");
            case telnet::ComPortAnswer::kNone:
                break;
        }
        if (abort != nullptr && abort->IsSet()) return kErrAborted;
        const int left = MsUntil(deadlineUs);
        if (left == 0) {
            return Fail(reason, reasonSize, portName,
                        "no answer to the COM-PORT-OPTION (RFC 2217) within 3 s");
        }
        if (SocketWait(channel.socket, std::min(left, kSliceMs)) < 0) {
            return Fail(reason, reasonSize, portName, "the connection failed");
        }
    }
}
