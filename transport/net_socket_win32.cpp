// Connections to serial servers over Winsock.
// Winsock before windows.h, which would bring the old Winsock in.
#include <winsock2.h>
#include <ws2tcpip.h>
// Needs the Winsock types above.
#include <mstcpip.h>

#include <windows.h>

#include <chrono>
#include <cstdio>

#include "platform/event.h"
#include "platform/system_error_win32.h"
#include "transport/net_socket.h"
#include "transport/net_socket_platform.h"

namespace {

using Clock = std::chrono::steady_clock;

SOCKET Handle(const NetSocket& socket) {
    return static_cast<SOCKET>(socket.handle);
}

}  // namespace

// Winsock is started once for the process and left running until it ends.
int SocketLayerStart() {
    static const int error = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return error;
}

AttemptState StartConnect(NetSocket& attempt, const addrinfo& address, int& error) {
    const SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        error = WSAGetLastError();
        return AttemptState::kFailed;
    }
    u_long nonBlocking = 1;
    const bool connected = ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) == 0 &&
                           connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0;
    error = connected ? 0 : WSAGetLastError();
    if (error != 0 && error != WSAEWOULDBLOCK) {
        closesocket(s);
        return AttemptState::kFailed;
    }
    attempt.handle = static_cast<std::uintptr_t>(s);
    return error == 0 ? AttemptState::kConnected : AttemptState::kPending;
}

// An attempt going on in the background ends in the write set when it
// connects and in the exception set (not the write set) when it fails.
bool AwaitConnects(NetSocket* attempts, AttemptState* states, int* errors, std::size_t count,
                   int waitMs, int& error) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (std::size_t i = 0; i < count; ++i) {
        if (states[i] != AttemptState::kPending) continue;
        FD_SET(Handle(attempts[i]), &writable);
        FD_SET(Handle(attempts[i]), &failed);
    }
    timeval timeout{waitMs / 1000, (waitMs % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, &timeout);
    if (ready == SOCKET_ERROR) {
        error = WSAGetLastError();
        return false;
    }
    for (std::size_t i = 0; ready > 0 && i < count; ++i) {
        if (states[i] != AttemptState::kPending) continue;
        const SOCKET s = Handle(attempts[i]);
        if (FD_ISSET(s, &writable)) {
            states[i] = AttemptState::kConnected;
        } else if (FD_ISSET(s, &failed)) {
            int outcome = 0;
            int length = sizeof outcome;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&outcome), &length) !=
                    0 ||
                outcome == 0) {
                outcome = WSAECONNREFUSED;
            }
            states[i] = AttemptState::kFailed;
            errors[i] = outcome;
            SocketClose(attempts[i]);
        }
    }
    return true;
}

void PrepareConnection(NetSocket& connection) {
    const SOCKET s = Handle(connection);
    // Frames go out as soon as they are written, not gathered.
    const BOOL on = TRUE;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Every segment acknowledged at once rather than up to 200 ms later: a
    // server that sends a reply in several small segments holds each back
    // (Nagle) until the one before is acknowledged. Windows has no
    // TCP_QUICKACK; this is its per-socket counterpart, and lasts for the
    // connection. Older Windows and Wine refuse it; the connection then
    // works as before, only slower on such servers, so the failure is
    // ignored.
    TCP_ACK_FREQUENCY_PARAMETERS frequency{};
    frequency.TcpDelayedAckFrequency = 1;
    DWORD returned = 0;
    (void)WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0,
                   &returned, nullptr, nullptr);
}

// The system's text of a Winsock error, as UTF-8; getaddrinfo's errors are
// Winsock errors too.
void DescribeConnectError(int error, const char* host, const char* service, char* reason,
                          std::size_t reasonSize) {
    char text[480];
    const bool known = SystemErrorText(static_cast<unsigned long>(error), text, sizeof text);
    std::snprintf(reason, reasonSize, "%s port %s: %s (error %d)", host, service,
                  known ? text : "no text from the system", error);
}

void DescribeResolveError(int error, const char* host, const char* service, char* reason,
                          std::size_t reasonSize) {
    DescribeConnectError(error, host, service, reason, reasonSize);
}

void SocketClose(NetSocket& socket) {
    if (Handle(socket) != INVALID_SOCKET) {
        closesocket(Handle(socket));
        socket.handle = static_cast<std::uintptr_t>(INVALID_SOCKET);
    }
}

bool SocketIsOpen(const NetSocket& socket) {
    return Handle(socket) != INVALID_SOCKET;
}

bool SocketSendAll(NetSocket& socket, const std::uint8_t* bytes, std::size_t count, int boundMs) {
    if (!SocketIsOpen(socket)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    std::size_t done = 0;
    while (done < count) {
        const int put = send(Handle(socket), reinterpret_cast<const char*>(bytes + done),
                             static_cast<int>(count - done), 0);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return false;
        const int left = MsUntil(deadline);
        if (left == 0) return false;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(Handle(socket), &writable);
        timeval timeout{left / 1000, (left % 1000) * 1000};
        if (select(0, nullptr, &writable, nullptr, &timeout) == SOCKET_ERROR) return false;
    }
    return true;
}

int SocketReceive(NetSocket& socket, std::uint8_t* buffer, std::size_t size) {
    if (!SocketIsOpen(socket)) return -1;
    const int got =
        recv(Handle(socket), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    if (got > 0) return got;
    if (got == 0) return -1;  // the server closed the connection
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int SocketWait(NetSocket& socket, int timeoutMs) {
    if (!SocketIsOpen(socket)) return -1;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Handle(socket), &readable);
    const int ms = timeoutMs < 0 ? 0 : timeoutMs;
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == SOCKET_ERROR) return -1;
    return ready > 0 ? 1 : 0;
}
