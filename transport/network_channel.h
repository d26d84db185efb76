// The channel to a serial line behind a server on the network (socket:// or
// rfc2217://, see network_port_name.h). It behaves as a local port does: the
// same receive queue and echo rule, the reply wait counted from the moment
// the frame has left the remote line, plus the port name's latency
// allowance for the network's round trip; a connection that ends fails the
// read at once, as an unplugged cable does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/result_code.h"
#include "transport/net_socket.h"
#include "transport/network_port_name.h"
#include "transport/receive_queue.h"
#include "transport/telnet.h"

class Event;

// How long opening may take: name resolution, connection and, for RFC 2217,
// the server's answer to the COM-PORT-OPTION.
inline constexpr int kNetworkOpenBoundMs = 3000;

struct NetworkChannel {
    NetSocket socket;
    NetworkPortName name;
    telnet::Decoder decoder;
    ReceiveQueue received;
    // The server did not confirm a purge in time; it is not waited for again.
    bool purgeUnanswered = false;
    // The connection ended or failed: every call fails at once until it is
    // closed.
    bool lost = false;
    // Monotonic time (µs) at which the last frame has left the remote line.
    std::int64_t lineFreeAtUs = 0;
    // A frame with every 0xFF doubled, on its way out.
    std::uint8_t outgoing[telnet::kEscapedFrameBound];
    // Bytes as they come off the connection, before Telnet decoding.
    std::uint8_t incoming[2048];
};

bool NetworkChannelIsOpen(const NetworkChannel& channel);

// Connects within kNetworkOpenBoundMs and, for rfc2217://, sets the remote
// line to the channel's settings. 0; kErrAborted when `abort` was set
// meanwhile; kErrPortOpen with the reason in `reason`.
ResultCode OpenNetworkChannel(NetworkChannel& channel, const char* portName, const Event* abort,
                              char* reason, std::size_t reasonSize);
void CloseNetworkChannel(NetworkChannel& channel);
ResultCode NetworkChannelWrite(NetworkChannel& channel, const std::uint8_t* bytes, int count);
int NetworkChannelRead(NetworkChannel& channel, std::uint8_t* buffer, int maximum,
                       const Event* abort);
// ChannelListen on a network line: only the serial line's bytes are
// delivered, the server's Telnet negotiation is answered on the way.
int NetworkChannelListen(NetworkChannel& channel, std::uint8_t* buffer, int maximum,
                         std::int64_t untilUs, const Event* abort);
// Moves what has arrived into the receive queue, through the Telnet decoder
// for rfc2217://, and sends the answers the server's negotiation needs. False
// when the connection has ended or failed. The channel's own reads and the
// opening's negotiation (com_port_negotiation.cpp) use it.
bool TakeArrivedBytes(NetworkChannel& channel);
// Drops what has arrived and, for rfc2217://, asks the server to purge its
// receive buffer too.
void NetworkChannelDiscardInput(NetworkChannel& channel);
