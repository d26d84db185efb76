#include "operations/line_scan.h"

#include <vector>

#include "exchange/exchange.h"
#include "operations/dialog_inputs.h"
#include "platform/event.h"
#include "transport/serial_channel.h"

namespace {

// Sets the reply wait of the open channel and puts the usual one back when
// it goes, on every way out of the scan.
class ReplyWaitHold {
  public:
    ReplyWaitHold(SerialChannel& channel, int milliseconds) : channel_(channel) {
        ChannelSetReplyWait(channel_, milliseconds);
    }
    ~ReplyWaitHold() { ChannelSetReplyWait(channel_, kReplyWaitMs); }
    ReplyWaitHold(const ReplyWaitHold&) = delete;
    ReplyWaitHold& operator=(const ReplyWaitHold&) = delete;

  private:
    SerialChannel& channel_;
};

enum class NodeOutcome { kFound, kNotFound, kAskAgain, kAborted };

NodeOutcome AskNode(LineState& line, std::uint8_t node, ScanPass pass, ScanListener& listener) {
    ExchangeMisses misses;
    int result = ExchangePresenceCheck(line, node, kCommandPresence, 1, &misses);
    if (result == kErrAborted) return NodeOutcome::kAborted;
    if (result == kErrExchange) {
        // In the quick pass a garbled or foreign answer is most likely a slow
        // device answering late: the full pass will tell.
        if (pass == ScanPass::kQuick) return NodeOutcome::kAskAgain;
        if (misses.otherNode >= 0) {
            listener.Warn({node, ScanProblem::kOtherNode, misses.otherNode});
        } else if (misses.garbled > 0) {
            listener.Warn({node, ScanProblem::kGarbled});
        }
        return NodeOutcome::kNotFound;
    }
    if (result < 0) {
        // Any other byte where the status belongs means the reply had
        // none (a three-byte answer): not a device worth a warning.
        if (line.PayloadBuffer[3] == kStatusRefused)
            listener.Warn({node, ScanProblem::kPresenceRefused, -1, result});
        return NodeOutcome::kNotFound;
    }

    // The record is long and the device has answered: it gets the usual wait.
    if (pass == ScanPass::kQuick) ChannelSetReplyWait(line.channel, kReplyWaitMs);
    result = ExchangeCommand(line, node, kCommandInformation, kExchangeAttempts, &misses);
    if (pass == ScanPass::kQuick) ChannelSetReplyWait(line.channel, kQuickReplyWaitMs);
    if (result == kErrAborted) return NodeOutcome::kAborted;
    if (result < 0) {
        listener.Warn({node, ScanProblem::kNoInformation, misses.otherNode, result});
        return NodeOutcome::kNotFound;
    }
    // Bytes a short record did not carry read as zero: the decoder
    // cleared the payload area beyond the reply.
    listener.Found(node, FormatIdentity(ParseDeviceInfo(line.PayloadBuffer + 4)));
    return NodeOutcome::kFound;
}

// A line that keeps sending frames is not waited for longer than this many.
constexpr int kQuietLineFrames = 8;

// Before the full pass: a slow device's late answer to one of the quick
// pass's last requests must not collide with its first request. Listens
// until one whole reply wait passes without a frame (each read without a
// request waits that long from its start) and drops what came.
ResultCode AwaitQuietLine(LineState& line) {
    ChannelDiscardInput(line.channel);
    for (int frame = 0; frame < kQuietLineFrames; ++frame) {
        const int received = ChannelRead(line.channel, line.RxFrameBuffer,
                                         static_cast<int>(kFrameBufferSize), line.abortEvent);
        if (received == kErrAborted) return kErrAborted;
        if (received < 0) break;
        if (line.trace != nullptr) {
            line.trace(line.traceContext, TraceDirection::Received, line.RxFrameBuffer, received);
        }
    }
    ChannelDiscardInput(line.channel);
    return kResultOk;
}

}  // namespace

ResultCode ScanLine(CommandContext& context, std::span<const std::uint8_t> nodes,
                    ScanListener& listener, ScanPasses passes) {
    LineState& line = context.line;
    bool found = false;
    std::vector<std::uint8_t> again;  // for the full pass, in list order
    if (passes == ScanPasses::kQuickThenFull) again.reserve(nodes.size());
    {
        ReplyWaitHold quick(line.channel, kQuickReplyWaitMs);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            // A port that fails at once never reaches the channel's test of
            // the event, so Stop is looked at here as well.
            if (context.commandEvent.IsSet()) return kErrAborted;
            listener.Asking(ScanPass::kQuick, i, nodes.size(), nodes[i]);
            switch (AskNode(line, nodes[i], ScanPass::kQuick, listener)) {
                case NodeOutcome::kAborted:
                    return kErrAborted;
                case NodeOutcome::kFound:
                    found = true;
                    break;
                case NodeOutcome::kAskAgain:
                    if (passes == ScanPasses::kQuickThenFull) again.push_back(nodes[i]);
                    break;
                case NodeOutcome::kNotFound:
                    break;
            }
        }
    }

    if (!again.empty()) {
        if (context.commandEvent.IsSet() || AwaitQuietLine(line) == kErrAborted) return kErrAborted;
    }
    for (std::size_t i = 0; i < again.size(); ++i) {
        if (context.commandEvent.IsSet()) return kErrAborted;
        listener.Asking(ScanPass::kFull, i, again.size(), again[i]);
        const NodeOutcome outcome = AskNode(line, again[i], ScanPass::kFull, listener);
        if (outcome == NodeOutcome::kAborted) return kErrAborted;
        found = found || outcome == NodeOutcome::kFound;
    }
    return found ? kResultOk : kErrNoDevice;
}

ResultCode ScanLineCommand(CommandContext& context, std::span<const std::uint8_t> nodes,
                           ScanListener& listener, ScanPasses passes) {
    char portName[kPortNameLimit + 1];
    ReadPortName(context.dialog, portName);
    ResultCode result = OpenChannel(context.line.channel, portName, context.line.abortEvent);
    if (result == kResultOk) result = ScanLine(context, nodes, listener, passes);
    CloseChannel(context.line.channel);
    return result;
}
