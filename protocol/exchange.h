// One request/response transaction with the device.
//
// The caller puts the request into PayloadBuffer (byte 0 the current
// SequenceNumber, byte 1 the node, byte 2 the command, data from byte 3).
// The exchange frames it, sends it, waits for the reply and judges it, with up
// to four attempts. A reply is the one expected when its byte 0 equals the
// SequenceNumber and byte 1 the node; byte 3 is the status (6: accepted),
// byte 4 the device's error code when it refused.
#pragma once

#include <cstdint>

#include "protocol/line_state.h"
#include "protocol/result_code.h"

inline constexpr int kExchangeAttempts = 4;
// Sequence number, node and command: a request without data.
inline constexpr int kRequestHeaderLength = 3;
inline constexpr std::uint8_t kStatusAccepted = 6;

// Returns the decoded reply length (4 or more) when the device accepted the
// request, 0 when payloadLength is 0 (nothing sent), kErrExchange when no
// matching reply came within four attempts, kErrAborted when the abort event
// was seen, kErrDevice* when the device refused.
int Exchange(LineState& line, int payloadLength, std::uint8_t node);

// The ResultCode of a device error byte (a fixed table, not arithmetic).
ResultCode DeviceErrorResult(std::uint8_t errorByte);
