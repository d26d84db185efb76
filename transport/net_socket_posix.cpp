// Connections to serial servers over POSIX sockets.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/event.h"
#include "transport/net_socket.h"
#include "transport/net_socket_platform.h"

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

int SocketLayerStart() {
    return 0;  // POSIX sockets need no start
}

AttemptState StartConnect(NetSocket& attempt, const addrinfo& address, int& error) {
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          address.ai_protocol);
    if (fd < 0) {
        error = errno;
        return AttemptState::kFailed;
    }
    error = connect(fd, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
    if (error != 0 && error != EINPROGRESS) {
        close(fd);
        return AttemptState::kFailed;
    }
    attempt.fd = fd;
    return error == 0 ? AttemptState::kConnected : AttemptState::kPending;
}

// An attempt going on in the background becomes writable when it ends; its
// outcome is then in SO_ERROR.
bool AwaitConnects(NetSocket* attempts, AttemptState* states, int* errors, std::size_t count,
                   int waitMs, int& error) {
    pollfd watch[16];
    std::size_t of[16];
    nfds_t watched = 0;
    for (std::size_t i = 0; i < count && watched < std::size(watch); ++i) {
        if (states[i] != AttemptState::kPending) continue;
        watch[watched] = pollfd{attempts[i].fd, POLLOUT, 0};
        of[watched++] = i;
    }
    const int ready = poll(watch, watched, waitMs);
    if (ready < 0) {
        if (errno == EINTR) return true;
        error = errno;
        return false;
    }
    for (nfds_t w = 0; ready > 0 && w < watched; ++w) {
        if (watch[w].revents == 0) continue;
        const std::size_t i = of[w];
        int outcome = 0;
        socklen_t length = sizeof outcome;
        if (getsockopt(attempts[i].fd, SOL_SOCKET, SO_ERROR, &outcome, &length) != 0)
            outcome = errno;
        if (outcome == EINPROGRESS) continue;
        states[i] = outcome == 0 ? AttemptState::kConnected : AttemptState::kFailed;
        errors[i] = outcome;
        if (outcome != 0) SocketClose(attempts[i]);
    }
    return true;
}

void PrepareConnection(NetSocket& connection) {
    // Frames go out as soon as they are written, not gathered.
    const int on = 1;
    (void)setsockopt(connection.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void DescribeResolveError(int error, const char* host, const char*, char* reason,
                          std::size_t reasonSize) {
    std::snprintf(reason, reasonSize, "%s: %s", host, gai_strerror(error));
}

void DescribeConnectError(int error, const char* host, const char* service, char* reason,
                          std::size_t reasonSize) {
    std::snprintf(reason, reasonSize, "%s port %s: %s", host, service, std::strerror(error));
}

void SocketClose(NetSocket& socket) {
    if (socket.fd >= 0) {
        close(socket.fd);
        socket.fd = -1;
    }
}

bool SocketIsOpen(const NetSocket& socket) {
    return socket.fd >= 0;
}

bool SocketSendAll(NetSocket& socket, const std::uint8_t* bytes, std::size_t count, int boundMs) {
    if (socket.fd < 0) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = send(socket.fd, bytes + done, count - done, MSG_NOSIGNAL);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const int left = MsUntil(deadline);
        if (left == 0) return false;
        pollfd watch{socket.fd, POLLOUT, 0};
        const int ready = poll(&watch, 1, left);
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
    }
    return true;
}

int SocketReceive(NetSocket& socket, std::uint8_t* buffer, std::size_t size) {
    if (socket.fd < 0) return -1;
    for (;;) {
        const ssize_t got = recv(socket.fd, buffer, size, 0);
        if (got > 0) {
            // Acknowledge at once rather than up to 40 ms later: a server
            // that sends a reply in several small segments holds each back
            // (Nagle) until the one before is acknowledged. The kernel falls
            // back to delayed acknowledgements by itself, so this is renewed
            // after every read.
            const int on = 1;
            (void)setsockopt(socket.fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            return static_cast<int>(got);
        }
        if (got == 0) return -1;  // the server closed the connection
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

int SocketWait(NetSocket& socket, int timeoutMs) {
    if (socket.fd < 0) return -1;
    pollfd watch{socket.fd, POLLIN, 0};
    const int ready = poll(&watch, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    return ready > 0 ? 1 : 0;
}
