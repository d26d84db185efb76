// The line settings the Windows channel gives the port, kept apart so that a
// check can compare them field by field without opening a port.
#pragma once

#include <windows.h>

// 57600 baud 8N1, binary, no flow control, DTR raised, RTS held off, stop on
// line errors until they are cleared, event character ETX. Built from all
// zero: nothing of the port's previous settings survives.
DCB ChannelLineSettings();

// Reads give up after 250 ms. Writes get 250 ms plus one millisecond per
// byte, which covers a byte's line time (about 0.17 ms) with room to spare.
COMMTIMEOUTS ChannelTimeouts();
