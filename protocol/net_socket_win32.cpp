// Connections to serial servers over Winsock.
// Winsock before windows.h, which would bring the old Winsock in.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "protocol/bounded_call.h"
#include "protocol/event.h"
#include "protocol/net_socket.h"
#include "protocol/system_error_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

SOCKET Handle(const NetSocket& socket) {
    return static_cast<SOCKET>(socket.handle);
}

int MsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Winsock is started once for the process and left running until it ends.
bool WinsockStarted() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// The system's text of a Winsock error, as UTF-8.
void DescribeError(int error, const char* host, const char* service, char* reason,
                   std::size_t reasonSize) {
    char text[480];
    const bool known = SystemErrorText(static_cast<unsigned long>(error), text, sizeof text);
    std::snprintf(reason, reasonSize, "%s port %s: %s (error %d)", host, service,
                  known ? text : "no text from the system", error);
}

struct Resolution {
    char host[256] = {};
    char service[8] = {};
    addrinfo* addresses = nullptr;
    int error = 0;
    Event done;

    Resolution() = default;
    Resolution(const Resolution&) = delete;
    Resolution& operator=(const Resolution&) = delete;
    ~Resolution() {
        if (addresses != nullptr) freeaddrinfo(addresses);
    }
    void Run() {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        error = getaddrinfo(host, service, &hints, &addresses);
    }
};

// One connect attempt to one address, within the deadline, looking at the
// abort event every few milliseconds. The socket, or INVALID_SOCKET with
// `error` set (WSAETIMEDOUT when the time ran out, WSAECANCELLED on Stop).
SOCKET ConnectOne(const addrinfo& address, Clock::time_point deadline, const Event* abort,
                  int& error) {
    const SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        error = WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) != 0) {
        error = WSAGetLastError();
        closesocket(s);
        return INVALID_SOCKET;
    }
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return s;
    error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    constexpr int kSliceMs = 20;
    for (;;) {
        if (abort != nullptr && abort->IsSet()) {
            error = WSAECANCELLED;
            break;
        }
        const int left = MsUntil(deadline);
        if (left == 0) {
            error = WSAETIMEDOUT;
            break;
        }
        // A connection that fails shows in the exception set, not the write set.
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        const int slice = left < kSliceMs ? left : kSliceMs;
        timeval timeout{0, slice * 1000};
        const int ready = select(0, nullptr, &writable, &failed, &timeout);
        if (ready == SOCKET_ERROR) {
            error = WSAGetLastError();
            break;
        }
        if (ready == 0) continue;
        int soError = 0;
        int length = sizeof soError;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) != 0)
            soError = WSAGetLastError();
        if (FD_ISSET(s, &writable) && soError == 0) return s;
        error = soError != 0 ? soError : WSAECONNREFUSED;
        break;
    }
    closesocket(s);
    return INVALID_SOCKET;
}

}  // namespace

ResultCode SocketConnect(NetSocket& socket, const char* host, const char* service, int boundMs,
                         const Event* abort, char* reason, std::size_t reasonSize) {
    SocketClose(socket);
    if (!WinsockStarted()) {
        DescribeError(WSAGetLastError(), host, service, reason, reasonSize);
        return kErrPortOpen;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    auto resolution = std::make_shared<Resolution>();
    std::snprintf(resolution->host, sizeof resolution->host, "%s", host);
    std::snprintf(resolution->service, sizeof resolution->service, "%s", service);
    if (!resolution->done.Valid()) {
        std::snprintf(reason, reasonSize, "%s: no event could be created", host);
        return kErrPortOpen;
    }
    switch (RunBounded(resolution, boundMs, abort)) {
        case BoundedOutcome::kDone:
            break;
        case BoundedOutcome::kAborted:
            return kErrAborted;
        case BoundedOutcome::kTimedOut:
            std::snprintf(reason, reasonSize, "%s: the name was not resolved within %d ms", host,
                          boundMs);
            return kErrPortOpen;
        case BoundedOutcome::kNoThread:
            std::snprintf(reason, reasonSize, "%s: no thread for the name's resolution", host);
            return kErrPortOpen;
    }
    if (resolution->error != 0) {
        DescribeError(resolution->error, host, service, reason, reasonSize);
        return kErrPortOpen;
    }
    int error = WSAEADDRNOTAVAIL;
    for (const addrinfo* address = resolution->addresses; address != nullptr;
         address = address->ai_next) {
        const SOCKET s = ConnectOne(*address, deadline, abort, error);
        if (s != INVALID_SOCKET) {
            // Frames go out as soon as they are written, not gathered.
            const BOOL on = TRUE;
            (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                             sizeof on);
            socket.handle = static_cast<std::uintptr_t>(s);
            return kResultOk;
        }
        if (error == WSAECANCELLED) return kErrAborted;
        if (error == WSAETIMEDOUT) break;
    }
    if (error == WSAETIMEDOUT) {
        std::snprintf(reason, reasonSize, "%s port %s: no answer within %d ms", host, service,
                      boundMs);
    } else {
        DescribeError(error, host, service, reason, reasonSize);
    }
    return kErrPortOpen;
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
