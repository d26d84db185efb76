#include "operations/dialog_inputs.h"

#include "dialog/control_ids.h"

void ReadPortName(Dialog& dialog, char (&portName)[kPortNameLimit + 1]) {
    portName[0] = '\0';
    if (dialog.GetItemText(kIdPort, portName, sizeof portName) <= 0) portName[0] = '\0';
}

ResultCode ReadNode(Dialog& dialog, std::uint8_t& node) {
    bool ok = false;
    const std::uint32_t value = dialog.GetItemUnsigned(kIdNode, ok);
    // Only the low 8 bits travel on the line, so a larger number would reach
    // another device: refuse it rather than wrap.
    if (!ok || value > 255) return kErrBadNode;
    node = static_cast<std::uint8_t>(value);
    return kResultOk;
}

ResultCode OpenPortFromDialog(CommandContext& context, std::uint8_t& node) {
    char portName[kPortNameLimit + 1];
    return OpenPortFromDialog(context, node, portName);
}

ResultCode OpenPortFromDialog(CommandContext& context, std::uint8_t& node,
                              char (&portName)[kPortNameLimit + 1]) {
    ReadPortName(context.dialog, portName);
    const ResultCode result = ReadNode(context.dialog, node);
    return result == kResultOk
               ? OpenChannel(context.line.channel, portName, context.line.abortEvent)
               : result;
}
