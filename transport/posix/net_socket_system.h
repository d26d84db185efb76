// The POSIX names the connection's outline needs: addrinfo, getaddrinfo.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
