// The platform's half of SocketConnect, one file per platform: the outline
// (net_socket.cpp) resolves the name and tries its addresses in turn; these
// start the system's sockets, make one attempt, and put the system's errors
// into words. Nothing else calls them.
#pragma once

#include <chrono>
#include <cstddef>

#include "net_socket_system.h"  // addrinfo, getaddrinfo: from transport/posix or transport/win32
#include "transport/net_socket.h"

// Milliseconds left until `deadline`, 0 once it has passed.
inline int MsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Readies the system's sockets for the process: 0, or the system's error.
int SocketLayerStart();

enum class ConnectOutcome { kConnected, kFailed, kTimedOut, kAborted };

// One non-blocking connect to one address, within `deadline`, looking at
// `abort` every few milliseconds. kConnected: `connection` holds it, and it
// sends frames as soon as they are written (TCP_NODELAY). kFailed: `error`
// is the system's error.
ConnectOutcome ConnectOne(NetSocket& connection, const addrinfo& address,
                          std::chrono::steady_clock::time_point deadline, const Event* abort,
                          int& error);

// The reason, for the one who reads it, why `host` was not resolved
// (getaddrinfo's `error`) or not connected to (the system's `error`).
void DescribeResolveError(int error, const char* host, const char* service, char* reason,
                          std::size_t reasonSize);
void DescribeConnectError(int error, const char* host, const char* service, char* reason,
                          std::size_t reasonSize);
