// POSIX state of a connection to a serial server: its descriptor.
#pragma once

struct NetSocket {
    int fd = -1;
};
