// The Winsock names the connection's outline needs: addrinfo, getaddrinfo.
// Winsock before windows.h, which would bring the old Winsock in.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
