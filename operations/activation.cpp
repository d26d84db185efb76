#include "operations/activation.h"

#include "dialog/status.h"
#include "operations/dialog_inputs.h"
#include "protocol/exchange.h"

ResultCode ActivateApplication(CommandContext& context, std::uint8_t node) {
    LineState& line = context.line;
    line.PayloadBuffer[0] = line.SequenceNumber;
    line.PayloadBuffer[1] = node;
    line.PayloadBuffer[2] = kCommandActivate;
    const int result = Exchange(line, 3, node);
    return result < 0 ? result : kResultOk;
}

ResultCode ActivateApplicationCommand(CommandContext& context) {
    std::uint8_t node = 0;
    ResultCode result = OpenPortFromDialog(context, node);
    if (result == kResultOk) result = ActivateApplication(context, node);
    if (result == kResultOk) ShowStatus(context.dialog, kStatusActivated, 100, 100);
    CloseChannel(context.line.channel);
    return result;
}
