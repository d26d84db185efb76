#include "cli/commands.h"

#include <filesystem>
#include <system_error>

#include "cli/deadline_timer.h"
#include "cli/interrupt.h"
#include "cli/terminal_dialog.h"
#include "dialog/control_ids.h"
#include "dialog/file_dialogs.h"
#include "operations/activation.h"
#include "operations/backup.h"
#include "operations/device_identity.h"
#include "operations/file_access.h"
#include "operations/module_writer.h"
#include "platform/event.h"

namespace {

ResultCode Search(const CliOptions& options, CommandContext& context,
                  const InterruptWatch& interrupt) {
    // The time limit ends the search the way Stop does, but nobody pressed
    // Stop: a search that ran out of time before any device answered found
    // no device; one that ran out after a device answered its presence
    // check, during the information request, failed in the exchange.
    const DeadlineTimer timer(context.commandEvent, options.timeoutSeconds);
    const ResultCode result = SearchDeviceCommand(context);
    if (result == kErrAborted && timer.Fired() && !interrupt.Interrupted())
        return context.presenceAnswered ? kErrExchange : kErrNoDevice;
    return result;
}

bool IsFileFailure(ResultCode result) {
    return result == kErrFileOpen || result == kErrFileRead || result == kErrNotModule ||
           result == kErrFileCreate || result == kErrFileWrite;
}

// The reason for a module that the size test refused, which the file layer
// does not give: only the read told how many bytes there were.
std::string SizeReason(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(
        std::filesystem::path(std::u8string(path.begin(), path.end())), error);
    if (error) return path + ": not a module";
    return path + ": " + std::to_string(size) + " bytes, not a whole number of " +
           std::to_string(kBlockRecordSize) + "-byte block records";
}

std::string Detail(const CliOptions& options, const CommandContext& context, ResultCode result) {
    if (result == kErrPortOpen) return PortOpenDetail(options.port, context.line);
    if (IsFileFailure(result)) {
        if (context.reason[0] != '\0') return context.reason;
        if (result == kErrNotModule) return SizeReason(options.moduleFile);
    }
    return "";
}

}  // namespace

std::string PortOpenDetail(const std::string& port, const LineState& line) {
    std::string detail = line.channel.lastError;
    if (detail.empty()) detail = port + ": cannot open";
    const std::string hint = PortAccessHint(port);
    if (!hint.empty()) detail += "; " + hint;
    return detail;
}

Outcome RunCommand(const CliOptions& options, CommandContext& context, TerminalDialog& dialog,
                   const InterruptWatch& interrupt) {
    Outcome outcome;
    if (options.command == CommandKind::Ports) {
        outcome.ports = ListSerialPorts();
        return outcome;
    }

    dialog.SetField(kIdPort, options.port);
    dialog.SetField(kIdNode, options.node);
    switch (options.command) {
        case CommandKind::Info:
            outcome.result = Search(options, context, interrupt);
            break;
        case CommandKind::Write:
            dialog.SetField(kIdModulePath, options.moduleFile);
            outcome.result = WriteModuleCommand(context);
            outcome.blocks = context.recordsAccepted;
            break;
        case CommandKind::Backup: {
            // A target named in full is checked before the device is
            // touched; one that depends on the proposed name only once the
            // identification has given that name.
            std::string refused;
            if (!options.force && !NamesFolder(options.outputPath) &&
                PathExists(options.outputPath.c_str())) {
                refused = options.outputPath;
                outcome.result = static_cast<ResultCode>(kTargetExistsError);
            } else {
                char saved[kFileNameBufferSize] = {};
                outcome.result =
                    SaveBackupCommand(context, options.backupKind, saved, sizeof saved);
                outcome.file = saved;
                if (outcome.result != kResultOk) refused = dialog.RefusedTarget();
            }
            outcome.targetExists = !refused.empty();
            if (outcome.targetExists)
                outcome.detail = refused + ": the file exists; --force replaces it";
            break;
        }
        case CommandKind::Activate:
            outcome.result = ActivateApplicationCommand(context);
            break;
        case CommandKind::Ports:
        case CommandKind::Log:
        case CommandKind::Scan:
        case CommandKind::Rollout:
        case CommandKind::Doctor:
            break;
    }

    if (outcome.detail.empty()) outcome.detail = Detail(options, context, outcome.result);
    outcome.identified = dialog.Identified() && options.command != CommandKind::Activate;
    if (outcome.identified) outcome.identity = dialog.CurrentIdentity();
    return outcome;
}
