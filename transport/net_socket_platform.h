// The platform's half of SocketConnect, one file per platform: the outline
// (net_socket.cpp) resolves the name and staggers attempts at its
// addresses; these start the system's sockets, start and watch the
// attempts, and put the system's errors into words. Nothing else calls them.
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

enum class AttemptState { kPending, kConnected, kFailed };

// Starts a non-blocking connect to `address` in `attempt`: kPending while it
// goes on in the background; kConnected; kFailed with the system's `error`,
// nothing left open.
AttemptState StartConnect(NetSocket& attempt, const addrinfo& address, int& error);

// Waits up to `waitMs` for any of the `count` attempts whose state is
// kPending to finish, and writes the outcome of each that has into
// `states` (kFailed ones with the system's error in `errors`, and closed).
// False, with `error`, when the wait itself failed.
bool AwaitConnects(NetSocket* attempts, AttemptState* states, int* errors, std::size_t count,
                   int waitMs, int& error);

// Readies a connection for frames: they go out as soon as they are written
// (TCP_NODELAY), and what arrives is acknowledged at once where the system
// allows it.
void PrepareConnection(NetSocket& connection);

// The reason, for the one who reads it, why `host` was not resolved
// (getaddrinfo's `error`) or not connected to (the system's `error`).
void DescribeResolveError(int error, const char* host, const char* service, char* reason,
                          std::size_t reasonSize);
void DescribeConnectError(int error, const char* host, const char* service, char* reason,
                          std::size_t reasonSize);
