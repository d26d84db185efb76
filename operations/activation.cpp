#include "operations/activation.h"

#include "dialog/status.h"
#include "exchange/exchange.h"
#include "operations/dialog_inputs.h"

ResultCode ActivateApplication(CommandContext& context, std::uint8_t node) {
    const int result = ExchangeCommand(context.line, node, kCommandActivate);
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
