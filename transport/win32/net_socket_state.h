// Windows state of a connection to a serial server: its Winsock socket, kept
// as the integer Winsock's SOCKET is, so that this header needs no Winsock.
#pragma once

#include <cstdint>

struct NetSocket {
    std::uintptr_t handle = ~std::uintptr_t{0};  // INVALID_SOCKET
};
