// The two inputs every device command reads from the dialog at its start.
#pragma once

#include <cstdint>

#include "dialog/command_context.h"
#include "dialog/dialog.h"
#include "protocol/result_code.h"

// Longest port name taken from the port field (the buffer holds one more).
// Long enough for any device path: cutting a name short would open another
// port ("\\.\COM123" cut to nine characters is COM12) or none at all
// ("/dev/ttyUSB0").
inline constexpr int kPortNameLimit = 255;

// Node field that is empty, not a number or above 255. Without this check
// 300 would silently address node 44.
inline constexpr ResultCode kErrBadNode = -2027;

// The port field's text; empty when it cannot be read.
void ReadPortName(Dialog& dialog, char (&portName)[kPortNameLimit + 1]);

// The node field as a node number 0..255, or kErrBadNode.
ResultCode ReadNode(Dialog& dialog, std::uint8_t& node);

// What every device command does first: reads the port and node fields and
// opens the port. 0, kErrBadNode (nothing opened) or kErrPortOpen.
ResultCode OpenPortFromDialog(CommandContext& context, std::uint8_t& node);
// The same, keeping the port's name for opening it again.
ResultCode OpenPortFromDialog(CommandContext& context, std::uint8_t& node,
                              char (&portName)[kPortNameLimit + 1]);
