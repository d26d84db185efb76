// Finding the devices on a line: a presence check (command 16) at each node
// of a list, then the information request (command 18) at each node that
// answered it.
//
// Two passes, one after the other. Most devices answer within a few
// milliseconds, so the quick pass asks every node once with a short reply
// wait; a line of 256 nodes takes about 9 s instead of 64. The nodes that
// stayed silent there, or whose quick answer was garbled or came from another
// node (most likely a slow device's late answer, or a collision with one),
// are asked again in the full pass, with the usual reply wait. The passes
// never overlap and no request goes out while a late answer may still come:
// RS-485 is half-duplex, and an answer and a request on the bus at once
// destroy each other, so a scan that listened for late answers while asking
// the next nodes would lose exactly the slow devices.
//
// The presence check gets a single attempt in each pass: four attempts at
// every silent node would make the scan four times as long. A device that
// misses both chances is simply not found; the technician scans again. The
// information request of a device that answered has the exchange's usual
// four attempts at the usual reply wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "dialog/command_context.h"
#include "operations/device_identity.h"
#include "protocol/result_code.h"
#include "transport/line_timing.h"

// The longest answer to a presence check on the line: a refusal (sequence
// number, node, command, status, error byte and the checksum, each of them
// possibly escaped), between STX and ETX.
inline constexpr int kPresenceReplyFrameMax = 2 + 2 * 6;
// The quick pass's reply wait: 30 ms for the device to answer and the line
// time of its answer. A network line adds its latency allowance to it.
inline constexpr int kQuickReplyWaitMs = 30 + LineTimeMs(kPresenceReplyFrameMax);

enum class ScanPass { kQuick, kFull };

enum class ScanPasses {
    kQuickThenFull,  // what `vx40 scan` does
    kQuickOnly,      // a look at what answers at once; no node is asked twice
};

// Something at a node that was neither silence nor a device found. In the
// quick pass only refusals and failed information requests are warned of;
// the rest is asked again in the full pass, which warns of what it finds.
enum class ScanProblem {
    kOtherNode,        // a well-formed reply came from `otherNode`, not the node asked
    kGarbled,          // a reply came that did not decode
    kPresenceRefused,  // the presence check was refused: `result`
    kNoInformation,    // the presence check was answered, the information request failed: `result`
};

struct ScanWarning {
    std::uint8_t node;  // the node asked
    ScanProblem problem;
    int otherNode = -1;
    ResultCode result = kResultOk;
};

class ScanListener {
  public:
    virtual ~ScanListener() = default;
    // Before the node at `index` (0-based) of the `count` nodes of `pass` is
    // asked. The full pass's count is known once the quick pass has ended.
    virtual void Asking(ScanPass pass, std::size_t index, std::size_t count, std::uint8_t node) = 0;
    // As each device is found: the quick pass's in list order, then the
    // full pass's.
    virtual void Found(std::uint8_t node, const IdentityTexts& identity) = 0;
    virtual void Warn(const ScanWarning& warning) = 0;
};

// Asks every node of `nodes` in the order given over the open channel and
// leaves the channel's reply wait at kReplyWaitMs afterwards. kResultOk when
// at least one device was found, kErrNoDevice when none was, kErrAborted on
// Stop (what was found by then has been reported). With kQuickOnly a slow
// device is not found, and a late answer of one may still be on its way when
// this returns (the exchange takes such a stale reply for what it is).
ResultCode ScanLine(CommandContext& context, std::span<const std::uint8_t> nodes,
                    ScanListener& listener, ScanPasses passes = ScanPasses::kQuickThenFull);

// ScanLine over the port of the dialog's port field, which it opens and
// closes; kErrPortOpen when it cannot be opened.
ResultCode ScanLineCommand(CommandContext& context, std::span<const std::uint8_t> nodes,
                           ScanListener& listener, ScanPasses passes = ScanPasses::kQuickThenFull);
