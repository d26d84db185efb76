#include "operations/line_scan.h"

#include "operations/dialog_inputs.h"
#include "platform/event.h"
#include "protocol/exchange.h"

ResultCode ScanLine(CommandContext& context, std::span<const std::uint8_t> nodes,
                    ScanListener& listener) {
    LineState& line = context.line;
    bool found = false;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::uint8_t node = nodes[i];
        // A port that fails at once never reaches the channel's test of the
        // event, so Stop is looked at here as well.
        if (context.commandEvent.IsSet()) return kErrAborted;
        listener.Asking(i, nodes.size(), node);

        ExchangeMisses misses;
        int result = ExchangePresenceCheck(line, node, kCommandPresence, 1, &misses);
        if (result == kErrAborted) return result;
        if (result == kErrExchange) {
            if (misses.otherNode >= 0) {
                listener.Warn({node, ScanProblem::kOtherNode, misses.otherNode});
            } else if (misses.garbled > 0) {
                listener.Warn({node, ScanProblem::kGarbled});
            }
            continue;
        }
        if (result < 0) {
            // Any other byte where the status belongs means the reply had
            // none (a three-byte answer): not a device worth a warning.
            if (line.PayloadBuffer[3] == kStatusRefused)
                listener.Warn({node, ScanProblem::kPresenceRefused, -1, result});
            continue;
        }

        result = ExchangeCommand(line, node, kCommandInformation, kExchangeAttempts, &misses);
        if (result == kErrAborted) return result;
        if (result < 0) {
            listener.Warn({node, ScanProblem::kNoInformation, misses.otherNode, result});
            continue;
        }
        // Bytes a short record did not carry read as zero: the decoder
        // cleared the payload area beyond the reply.
        listener.Found(node, FormatIdentity(ParseDeviceInfo(line.PayloadBuffer + 4)));
        found = true;
    }
    return found ? kResultOk : kErrNoDevice;
}

ResultCode ScanLineCommand(CommandContext& context, std::span<const std::uint8_t> nodes,
                           ScanListener& listener) {
    char portName[kPortNameLimit + 1];
    ReadPortName(context.dialog, portName);
    ResultCode result = OpenChannel(context.line.channel, portName, context.line.abortEvent);
    if (result == kResultOk) result = ScanLine(context, nodes, listener);
    CloseChannel(context.line.channel);
    return result;
}
