// The kernel's RS-485 mode of a local port: for a UART whose transceiver
// takes its driver-enable from RTS, the driver raises RTS around each frame
// it sends. USB adapters and serial servers switch direction themselves and
// need nothing of it.
#pragma once

#include <string_view>

// The longest delay the kernel takes around a frame, in milliseconds; it
// cuts a longer one down to this.
inline constexpr int kRs485LongestDelayMs = 100;

// What the channel asks of the port at each open: off, or on with RTS high
// while sending and low after, with these delays before and after a frame.
struct Rs485Mode {
    bool enabled = false;
    int delayBeforeMs = 0;
    int delayAfterMs = 0;
};

// What the port's driver has: no such mode, the mode off, or on (with its
// settings in `mode`).
enum class Rs485Support { kNone, kOff, kOn };

struct Rs485DriverState {
    Rs485Support support = Rs485Support::kNone;
    Rs485Mode mode;
    bool rtsOnSend = true;  // RTS high while sending (else low)
};

// Why the RS-485 mode cannot be asked for on `portName`, or nullptr when it
// can: a serial server on the network switches direction itself, and so
// does the adapter on a system whose ports have no such mode (Windows).
const char* Rs485Refusal(std::string_view portName);

// Reads "BEFORE,AFTER" (milliseconds, 0 to kRs485LongestDelayMs each) into
// `mode`'s delays; false for anything else.
bool ParseRs485Delays(std::string_view text, Rs485Mode& mode);
