// The line settings the Windows channel gives the port, kept apart so that a
// check can compare them field by field without opening a port.
#pragma once

#include <windows.h>

// 57600 baud 8N1, binary, no flow control, DTR raised, RTS held off, stop on
// line errors until they are cleared, event character ETX. Built from all
// zero: nothing of the port's previous settings survives.
DCB ChannelLineSettings();

// Reads give up after 250 ms. A write of `frameLength` bytes gets its own
// line time plus 250 ms, with no per-byte multiplier (a whole millisecond per
// byte would be six times a byte's line time).
COMMTIMEOUTS ChannelTimeouts(int frameLength = 0);
