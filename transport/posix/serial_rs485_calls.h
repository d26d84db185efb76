// The two calls through which the POSIX serial channel reads and sets the
// port's RS-485 mode (TIOCGRS485, TIOCSRS485), as one table. The channel
// always goes through it; a check may put a scripted driver in their place
// to show what no pseudo-terminal can: a UART that has the mode, one that
// refuses it quietly, one that fails while it is given back.
#pragma once

#include <linux/serial.h>

struct SerialRs485Calls {
    // 0, or the errno of the failed call.
    int (*read)(int fd, serial_rs485& settings);
    // Sets `settings`; the kernel writes back what it applied. 0, or the errno.
    int (*write)(int fd, serial_rs485& settings);
};

// The table in use; the system's own calls unless a check replaced them.
SerialRs485Calls& SerialRs485Driver();
