// Result codes: every operation reports its outcome as one signed 32-bit
// integer. 0 is success; a negative value is the negated identifier of the
// catalogue message that describes the failure; a positive value is the
// extended error number of a common file dialog, passed through unchanged.
// Functions that deliver a count return it as a non-negative value, so callers
// tell success from failure by the sign alone.
#pragma once

#include <cstdint>

using ResultCode = std::int32_t;

inline constexpr ResultCode kResultOk = 0;

// Raised by the loader itself.
inline constexpr ResultCode kErrUnknown = -2001;     // buffer, thread or event not obtained
inline constexpr ResultCode kErrNoDevice = -2005;    // presence check got no valid reply
inline constexpr ResultCode kErrExchange = -2011;    // any failure of the serial exchange
inline constexpr ResultCode kErrPortOpen = -2016;    // the port cannot be opened or configured
inline constexpr ResultCode kErrFileOpen = -2019;    // the module file cannot be opened
inline constexpr ResultCode kErrFileRead = -2020;    // the module file cannot be read
inline constexpr ResultCode kErrNotModule = -2021;   // the file is not a whole module
inline constexpr ResultCode kErrFileCreate = -2025;  // a backup file cannot be created
inline constexpr ResultCode kErrFileWrite = -2026;   // a backup file cannot be written

// The device refused a request; see DeviceErrorResult in the exchange.
inline constexpr ResultCode kErrDeviceBadBlock = -2101;       // error byte 255
inline constexpr ResultCode kErrDeviceBadCommand = -2102;     // error byte 254
inline constexpr ResultCode kErrDeviceWriteFailed = -2103;    // error byte 253
inline constexpr ResultCode kErrDeviceModuleDamaged = -2104;  // error byte 252
inline constexpr ResultCode kErrDeviceWrongModule = -2105;    // error byte 251
inline constexpr ResultCode kErrDeviceUnknown = -2106;        // error bytes 0 to 248
inline constexpr ResultCode kErrDeviceTooCold = -2107;        // error byte 250
inline constexpr ResultCode kErrDeviceOtherSerial = -2108;    // error byte 249

inline constexpr ResultCode kErrAborted = -2109;  // Stop or Exit while waiting for a reply

// Raised by a rollout.
inline constexpr ResultCode kErrNotVerified = -2110;  // the device kept its old version
inline constexpr ResultCode kErrBadPlan = -2111;      // the plan failed its check

// Catalogue identifier of a failure code, 0 for success and for positive codes.
constexpr int MessageIdOf(ResultCode code) {
    return code < 0 ? -code : 0;
}
