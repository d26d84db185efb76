// Connections to serial servers over POSIX sockets.
#include <fcntl.h>
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
#include <memory>

#include "protocol/bounded_call.h"
#include "protocol/event.h"
#include "protocol/net_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
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
// abort event every few milliseconds. The descriptor, or -1 with errno set
// (ETIMEDOUT when the time ran out, ECANCELED on Stop).
int ConnectOne(const addrinfo& address, Clock::time_point deadline, const Event* abort) {
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          address.ai_protocol);
    if (fd < 0) return -1;
    if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    constexpr int kSliceMs = 20;
    for (;;) {
        if (abort != nullptr && abort->IsSet()) {
            close(fd);
            errno = ECANCELED;
            return -1;
        }
        const int left = MsUntil(deadline);
        if (left == 0) {
            close(fd);
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd watch{fd, POLLOUT, 0};
        const int ready = poll(&watch, 1, left < kSliceMs ? left : kSliceMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0) return fd;
        close(fd);
        errno = error;
        return -1;
    }
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

}  // namespace

ResultCode SocketConnect(NetSocket& socket, const char* host, const char* service, int boundMs,
                         const Event* abort, char* reason, std::size_t reasonSize) {
    SocketClose(socket);
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
        std::snprintf(reason, reasonSize, "%s: %s", host, gai_strerror(resolution->error));
        return kErrPortOpen;
    }
    int lastError = EADDRNOTAVAIL;
    for (const addrinfo* address = resolution->addresses; address != nullptr;
         address = address->ai_next) {
        const int fd = ConnectOne(*address, deadline, abort);
        if (fd >= 0) {
            // Frames go out as soon as they are written, not gathered.
            const int on = 1;
            (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            socket.fd = fd;
            return kResultOk;
        }
        lastError = errno;
        if (lastError == ECANCELED) return kErrAborted;
        if (lastError == ETIMEDOUT) break;
    }
    if (lastError == ETIMEDOUT) {
        std::snprintf(reason, reasonSize, "%s port %s: no answer within %d ms", host, service,
                      boundMs);
    } else {
        std::snprintf(reason, reasonSize, "%s port %s: %s", host, service,
                      std::strerror(lastError));
    }
    return kErrPortOpen;
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
