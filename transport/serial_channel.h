// The serial channel: the one open port through which all device traffic
// passes, a local serial port or a serial server on the network. It opens the port exclusively at
// 57600 baud 8N1 without flow control, writes whole frames, and reads one reply once its ETX byte
// has arrived. Each time a read has to wait it first tests the abort event once, without waiting,
// so Stop and Exit end a pending transaction.
//
// The state is a plain struct with fixed-size parts (see the platform's
// serial_channel_state.h); nothing is allocated per transaction.
#pragma once

#include <cstdint>

#include "protocol/result_code.h"
#include "serial_channel_state.h"  // from transport/posix or transport/win32
#include "transport/receive_queue.h"
#include "transport/rs485_mode.h"

class Event;

// Opens `portName` exclusively with the line settings; closes whatever was
// open first. A name such as socket://HOST:PORT or rfc2217://HOST:PORT
// connects to a serial server instead (network_port_name.h); `abort` ends
// such a connect in progress (kErrAborted). 0, or kErrPortOpen with nothing
// left open. The system's reason for a failure is kept in channel.lastError.
ResultCode OpenChannel(SerialChannel& channel, const char* portName, const Event* abort = nullptr);

// The RS-485 mode that the opens of a local port from now on ask for
// (rs485_mode.h); opening a port also opened does not change it. The port's
// own settings are read at the open and given back when it closes. An open
// that asks for the mode fails with kErrPortOpen when the port's driver has
// none ("this port's driver has no RS-485 mode" in channel.lastError), and
// for a port where Rs485Refusal refuses it.
void ChannelUseRs485(SerialChannel& channel, const Rs485Mode& mode);

// Gives every local port whose RS-485 mode an open changed its settings
// back, without closing it: for a program about to end at once, which
// closes nothing. Any thread may call it.
void ChannelRestoreAtExit();

// The RS-485 mode the open local port's driver has now; false for a network
// port or nothing open.
bool ChannelRs485State(const SerialChannel& channel, Rs485DriverState& state);

// Closes the port if it is open. Always 0; safe to call twice.
ResultCode CloseChannel(SerialChannel& channel);

// Writes all `count` bytes within their own line time plus 250 ms. 0, or
// kErrExchange when the write fails or is short, with the system's reason
// where known in channel.lastError.
ResultCode ChannelWrite(SerialChannel& channel, const std::uint8_t* bytes, int count);

// Waits up to the reply wait, 250 ms unless set otherwise (counted from the
// moment the last written frame has left the line), for an ETX in the receive queue, then delivers
// the frame up to it (at most `maximum` bytes) and leaves the rest queued. A reply still
// arriving when the wait ends is read on, up to the longest frame's line
// time, until its bytes stop. The request's own echo is judged by the rules
// of receive_queue.h. When the wait would block, `abort` is tested once
// first (on a network line also between slices of the wait); if it is set
// the result is kErrAborted. Returns the count delivered (1..maximum),
// kErrExchange or kErrAborted.
int ChannelRead(SerialChannel& channel, std::uint8_t* buffer, int maximum, const Event* abort);

// The frame the last read delivered was not the reply (a late answer to an
// earlier request): the next read goes on with that read's wait rather than
// beginning a new one, so the reply can still come within it.
void ChannelContinueWait(SerialChannel& channel);

// Listening rather than talking (the line's diagnosis): waits until
// `untilUs` (ReceiveClockUs) at most for bytes from the line and delivers
// whatever has come as soon as any has, raw: no frame or echo rule, bytes
// already in the receive queue first. Returns the count (1..maximum),
// 0 when nothing came by `untilUs`, kErrExchange when the port failed (the
// system's reason where known in channel.lastError), kErrAborted when `abort` is set (looked at
// before and during the wait, at least every 20 ms).
int ChannelListen(SerialChannel& channel, std::uint8_t* buffer, int maximum, std::int64_t untilUs,
                  const Event* abort);

// Discards everything in the receive queue and clears line errors; the
// exchange does this at the start of every attempt.
void ChannelDiscardInput(SerialChannel& channel);

bool ChannelIsOpen(const SerialChannel& channel);

// Whether the open port failed as a port that went away fails: an adapter
// pulled out or reset, a terminal that hung up, a connection to the server
// lost. Every call on it then fails at once (kErrExchange) until it is
// closed, with the system's reason in channel.lastError; only opening it
// again by its name can bring it back.
bool ChannelPortGone(const SerialChannel& channel);

// How often ReopenChannel tries to open the port.
inline constexpr int kReopenIntervalMs = 1000;

// Closes the channel and opens `portName` again every kReopenIntervalMs
// (the first try a whole interval after the close) until it opens (0), until
// `abort` is set (kErrAborted, at once), or until `boundMs` has passed
// (kErrPortOpen, the reason of the last try in channel.lastError; a
// negative bound: none).
ResultCode ReopenChannel(SerialChannel& channel, const char* portName, const Event* abort,
                         int boundMs);

// What a lone frame identical to the request, with nothing else within the
// wait, is taken for in the reads that follow (receive_queue.h). The
// exchange sets it for every request.
void ChannelExpectLoneEcho(SerialChannel& channel, LoneEcho rule);

// The reply wait of the reads that follow on the open port, in place of
// kReplyWaitMs (the quick pass of a scan); a network line still adds its
// latency allowance. Opening the port sets kReplyWaitMs again.
void ChannelSetReplyWait(SerialChannel& channel, int milliseconds);

// The reply wait of the open port as a read counts it: the one set, plus a
// network line's latency allowance.
int ChannelReplyWaitMs(const SerialChannel& channel);

// Whether the open line echoes what the tool sends, as learnt from the
// replies since it was opened; kUnknown before the first reply.
LineEcho ChannelLineEchoes(const SerialChannel& channel);

struct LineErrorCounters {
    std::uint32_t framing = 0, parity = 0, overrun = 0, breaks = 0;
};

// The driver's counts of line errors on the open local port: on Linux its
// own counts (TIOCGICOUNT), on Windows those it reported since the open,
// one for each report of a kind. False for a network port or a driver that
// keeps none.
bool ChannelErrorCounters(const SerialChannel& channel, LineErrorCounters& counters);

// When (ReceiveClockUs) the bytes last taken from the line were seen to
// arrive: the moment a listen's latest chunk came.
std::int64_t ChannelArrivalUs(const SerialChannel& channel);

// How late ChannelArrivalUs may be, in whole milliseconds: 0 where the
// system wakes a listen as bytes arrive, else the longest interval between
// two looks at the port (Windows).
int ChannelListenLookMs(const SerialChannel& channel);
