// Finding the devices on a line: a presence check (command 16) at each node
// of a list, then the information request (command 18) at each node that
// answered it.
//
// The presence check gets a single attempt, one reply wait: on a line of 256
// nodes with a few devices, four attempts at every silent node would make a
// scan of a minute take four. A device that misses its one chance is simply
// not found; the technician scans again. The information request of a
// device that answered has the exchange's usual four attempts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "dialog/command_context.h"
#include "operations/device_identity.h"
#include "protocol/result_code.h"

// Something at a node that was neither silence nor a device found.
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
    // Before the node at `index` (0-based) of `count` is asked.
    virtual void Asking(std::size_t index, std::size_t count, std::uint8_t node) = 0;
    virtual void Found(std::uint8_t node, const IdentityTexts& identity) = 0;
    virtual void Warn(const ScanWarning& warning) = 0;
};

// Asks every node of `nodes` in the order given over the open channel.
// kResultOk when at least one device was found, kErrNoDevice when none was,
// kErrAborted on Stop (what was found by then has been reported).
ResultCode ScanLine(CommandContext& context, std::span<const std::uint8_t> nodes,
                    ScanListener& listener);

// ScanLine over the port of the dialog's port field, which it opens and
// closes; kErrPortOpen when it cannot be opened.
ResultCode ScanLineCommand(CommandContext& context, std::span<const std::uint8_t> nodes,
                           ScanListener& listener);
