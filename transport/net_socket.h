// A TCP connection to a serial server, as the network channel needs it:
// connect within a bound that Stop can cut short, send, take what has
// arrived, wait for more. Sockets on POSIX, Winsock on Windows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "net_socket_state.h"  // from transport/posix or transport/win32
#include "protocol/result_code.h"

class Event;
struct addrinfo;

// Resolves `host` and connects to the first of its addresses that takes the
// connection, all within `boundMs`; `abort` is looked at every few
// milliseconds meanwhile. 0, kErrAborted, or kErrPortOpen with the reason
// written into `reason`.
ResultCode SocketConnect(NetSocket& socket, const char* host, const char* service, int boundMs,
                         const Event* abort, char* reason, std::size_t reasonSize);

// The part of SocketConnect after the name is resolved: one attempt per
// address, the next started kAttemptDelayMs after the one before unless that
// one failed sooner (an address that does not answer must not take the whole
// bound from the others), the first connected kept, the rest closed, all
// before `deadline`. IPv6 and IPv4 addresses take turns. `host`, `service`
// and the whole bound `boundMs` are for the reason.
inline constexpr int kAttemptDelayMs = 250;
ResultCode SocketConnectAny(NetSocket& socket, const addrinfo* addresses,
                            std::chrono::steady_clock::time_point deadline, const Event* abort,
                            const char* host, const char* service, int boundMs, char* reason,
                            std::size_t reasonSize);

void SocketClose(NetSocket& socket);
bool SocketIsOpen(const NetSocket& socket);

// Sends all `count` bytes within `boundMs`. False when the connection failed
// or the bound ran out first.
bool SocketSendAll(NetSocket& socket, const std::uint8_t* bytes, std::size_t count, int boundMs);

// Takes what has arrived, without waiting: the count, 0 when nothing is
// there, -1 when the connection has ended or failed.
int SocketReceive(NetSocket& socket, std::uint8_t* buffer, std::size_t size);

// Waits up to `timeoutMs` for bytes or the end of the connection: 1 when a
// receive would not block, 0 when the time ran out, -1 on failure.
int SocketWait(NetSocket& socket, int timeoutMs);
