// The outline of a connection to a serial server, the same on every
// platform: the name is resolved on a thread of its own within the bound,
// then its addresses are tried with what is left of it, staggered rather
// than in turn (as browsers do, RFC 8305): a name with an address that does
// not answer, such as an IPv6 address without a route, still reaches the
// others in time. The attempts themselves and the system's words for errors
// are the platform's (net_socket_posix.cpp, net_socket_win32.cpp).
#include <chrono>
#include <cstdio>
#include <memory>

#include "platform/bounded_call.h"
#include "platform/event.h"
#include "transport/net_socket.h"
#include "transport/net_socket_platform.h"

namespace {

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

}  // namespace

ResultCode SocketConnect(NetSocket& socket, const char* host, const char* service, int boundMs,
                         const Event* abort, char* reason, std::size_t reasonSize) {
    SocketClose(socket);
    if (const int error = SocketLayerStart(); error != 0) {
        DescribeConnectError(error, host, service, reason, reasonSize);
        return kErrPortOpen;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
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
        DescribeResolveError(resolution->error, host, service, reason, reasonSize);
        return kErrPortOpen;
    }
    return SocketConnectAny(socket, resolution->addresses, deadline, abort, host, service, boundMs,
                            reason, reasonSize);
}

namespace {

// Addresses beyond these are not tried: with an attempt started every
// kAttemptDelayMs, the open bound is over long before.
constexpr std::size_t kMostAttempts = 16;

// The addresses in the order they are tried: the resolver's order (which
// already ranks them), but the families taking turns, so that a run of
// addresses of one family that does not get through delays the other by one
// step only.
std::size_t OrderAddresses(const addrinfo* addresses, const addrinfo** order) {
    std::size_t count = 0;
    const addrinfo* next[2] = {addresses, nullptr};  // of the first family, of the others
    for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        if (a->ai_family != addresses->ai_family) {
            next[1] = a;
            break;
        }
    }
    const auto advance = [&](int side) {
        const addrinfo* a = next[side]->ai_next;
        while (a != nullptr && (a->ai_family == addresses->ai_family) != (side == 0))
            a = a->ai_next;
        next[side] = a;
    };
    for (int side = 0; count < kMostAttempts && (next[0] != nullptr || next[1] != nullptr);
         side = 1 - side) {
        if (next[side] == nullptr) continue;
        order[count++] = next[side];
        advance(side);
    }
    return count;
}

// The attempts under way; those still open are closed with it.
struct Attempts {
    NetSocket sockets[kMostAttempts];
    AttemptState states[kMostAttempts] = {};
    int errors[kMostAttempts] = {};
    std::size_t started = 0;

    Attempts() = default;
    Attempts(const Attempts&) = delete;
    Attempts& operator=(const Attempts&) = delete;
    ~Attempts() {
        for (std::size_t i = 0; i < started; ++i)
            SocketClose(sockets[i]);
    }
    std::size_t Pending() const {
        std::size_t pending = 0;
        for (std::size_t i = 0; i < started; ++i)
            pending += states[i] == AttemptState::kPending ? 1 : 0;
        return pending;
    }
    // The one connected, if any, handed over to `socket`.
    bool TakeConnected(NetSocket& socket) {
        for (std::size_t i = 0; i < started; ++i) {
            if (states[i] != AttemptState::kConnected) continue;
            socket = sockets[i];
            sockets[i] = NetSocket{};
            PrepareConnection(socket);
            return true;
        }
        return false;
    }
};

}  // namespace

ResultCode SocketConnectAny(NetSocket& socket, const addrinfo* addresses,
                            std::chrono::steady_clock::time_point deadline, const Event* abort,
                            const char* host, const char* service, int boundMs, char* reason,
                            std::size_t reasonSize) {
    using Clock = std::chrono::steady_clock;
    const addrinfo* order[kMostAttempts];
    const std::size_t count = OrderAddresses(addresses, order);
    Attempts attempts;
    auto nextStart = Clock::now();
    int error = 0;
    // How often the abort event is looked at while attempts go on.
    constexpr int kSliceMs = 20;
    for (;;) {
        if (abort != nullptr && abort->IsSet()) return kErrAborted;
        if (attempts.started < count && (attempts.Pending() == 0 || Clock::now() >= nextStart)) {
            const std::size_t i = attempts.started++;
            attempts.states[i] = StartConnect(attempts.sockets[i], *order[i], attempts.errors[i]);
            if (attempts.states[i] == AttemptState::kFailed) error = attempts.errors[i];
            nextStart = Clock::now() + std::chrono::milliseconds(kAttemptDelayMs);
        }
        if (attempts.TakeConnected(socket)) return kResultOk;
        const std::size_t pending = attempts.Pending();
        if (pending == 0 && attempts.started == count) break;  // every address failed
        if (pending == 0) continue;                            // the next address at once
        const int left = MsUntil(deadline);
        if (left == 0) {
            std::snprintf(reason, reasonSize, "%s port %s: no answer within %d ms", host, service,
                          boundMs);
            return kErrPortOpen;
        }
        int wait = left < kSliceMs ? left : kSliceMs;
        if (attempts.started < count) {
            const int untilNext = MsUntil(nextStart);
            wait = untilNext < wait ? untilNext : wait;
        }
        if (!AwaitConnects(attempts.sockets, attempts.states, attempts.errors, attempts.started,
                           wait, error)) {
            break;
        }
        for (std::size_t i = 0; i < attempts.started; ++i) {
            if (attempts.states[i] == AttemptState::kFailed && attempts.errors[i] != 0)
                error = attempts.errors[i];
        }
    }
    DescribeConnectError(error, host, service, reason, reasonSize);
    return kErrPortOpen;
}
