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

#include "exchange/line_state.h"
#include "protocol/result_code.h"

inline constexpr int kExchangeAttempts = 4;
// Sequence number, node and command: a request without data.
inline constexpr int kRequestHeaderLength = 3;
inline constexpr std::uint8_t kStatusAccepted = 6;
inline constexpr std::uint8_t kStatusRefused = 0x15;

// What an exchange heard that was not the reply it waited for, for a caller
// that tells a silent node from a line carrying something else (a scan).
struct ExchangeMisses {
    int garbled = 0;     // frames that failed to decode
    int otherNode = -1;  // node of the last well-formed reply from another node; -1 none
};

// Returns the decoded reply length (4 or more) when the device accepted the
// request, 0 when payloadLength is 0 (nothing sent), kErrExchange when no
// matching reply came within `attempts` attempts (at least one), kErrAborted
// when the abort event was seen, kErrDevice* when the device refused.
// `misses`, when given, is filled from scratch.
int Exchange(LineState& line, int payloadLength, std::uint8_t node,
             int attempts = kExchangeAttempts, ExchangeMisses* misses = nullptr);

// One exchange of a request without data: the sequence number, `node` and
// `command` are written into the payload first.
int ExchangeCommand(LineState& line, std::uint8_t node, std::uint8_t command,
                    int attempts = kExchangeAttempts, ExchangeMisses* misses = nullptr);

// The same for the presence check, which asks whether anyone is there at
// all: while the line's echo is not yet known, the request's own bytes alone
// are silence, not a reply (an echoing line with nobody at `node`), so a
// search goes on instead of ending with a device error. Once the line is
// known to be clean, they are a reply, as for any request without data.
int ExchangePresenceCheck(LineState& line, std::uint8_t node, std::uint8_t command,
                          int attempts = kExchangeAttempts, ExchangeMisses* misses = nullptr);

// The ResultCode of a device error byte (a fixed table, not arithmetic).
ResultCode DeviceErrorResult(std::uint8_t errorByte);
