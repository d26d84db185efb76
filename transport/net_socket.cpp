// The outline of a connection to a serial server, the same on every
// platform: the name is resolved on a thread of its own within the bound,
// then its addresses are tried in turn with what is left of it. The attempt
// itself and the system's words for errors are the platform's
// (net_socket_posix.cpp, net_socket_win32.cpp).
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
    int error = 0;  // getaddrinfo gives at least one address when it succeeds
    for (const addrinfo* address = resolution->addresses; address != nullptr;
         address = address->ai_next) {
        switch (ConnectOne(socket, *address, deadline, abort, error)) {
            case ConnectOutcome::kConnected:
                return kResultOk;
            case ConnectOutcome::kAborted:
                return kErrAborted;
            case ConnectOutcome::kTimedOut:
                std::snprintf(reason, reasonSize, "%s port %s: no answer within %d ms", host,
                              service, boundMs);
                return kErrPortOpen;
            case ConnectOutcome::kFailed:
                break;  // the next address, if there is one
        }
    }
    DescribeConnectError(error, host, service, reason, reasonSize);
    return kErrPortOpen;
}
