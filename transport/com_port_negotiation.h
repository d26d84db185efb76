// The opening of an rfc2217:// channel: the Telnet negotiation that sets the
// remote line, run on a connection that is already made.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/result_code.h"

class Event;
struct NetworkChannel;

// Negotiates the COM-PORT-OPTION with the server until `deadlineUs`
// (monotonic µs). 0; kErrAborted when `abort` was set meanwhile;
// kErrPortOpen with the reason, prefixed with `portName`, in `reason`.
ResultCode NegotiateComPort(NetworkChannel& channel, std::int64_t deadlineUs, const Event* abort,
                            const char* portName, char* reason, std::size_t reasonSize);
