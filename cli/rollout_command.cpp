#include "cli/rollout_command.h"

#include <cstdio>
#include <string>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/log_command.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/rollout_output.h"
#include "cli/serial_ports.h"
#include "fleet/rollout_control.h"
#include "fleet/rollout_plan.h"
#include "fleet/rollout_run.h"
#include "fleet/service_log.h"
#include "operations/file_access.h"

namespace {

int PlanExitCode(PlanProblemKind kind) {
    switch (kind) {
        case PlanProblemKind::kPlan:
            return kExitUsage;
        case PlanProblemKind::kModuleFile:
            return kExitFile;
        case PlanProblemKind::kResources:
            break;
    }
    return kExitOther;
}

}  // namespace

int RunRolloutCommand(const CliOptions& options, InterruptWatch& interrupt, StatusOutput& status,
                      bool terminal) {
    RolloutPlan plan;
    PlanProblem problem;
    if (!ReadRolloutPlan(options.planPath, plan, problem)) {
        std::fprintf(stderr, "%s\n", problem.message.c_str());
        return PlanExitCode(problem.kind);
    }

    // Writes and activations are logged as the write and activate commands
    // log theirs; a dry run changes nothing and logs nothing.
    CliOptions logOptions = options;
    logOptions.command = CommandKind::Write;
    logOptions.noLog = options.noLog || options.dryRun;
    ServiceLog log = OpenServiceLog(logOptions, status);

    RolloutStatus lines(stderr, terminal, options.quiet, plan);
    RolloutControl control;
    // The first Ctrl-C only stops new devices; the second aborts the lines.
    interrupt.Defer(
        [&] {
            control.Stop();
            lines.Interrupted();
        },
        [&] { control.Abort(); });
    RolloutSettings settings;
    settings.dryRun = options.dryRun;
    std::vector<RolloutDevice> devices = RunRollout(plan, settings, log, lines, control);
    // The run and its listener end here; a press from now on only counts.
    interrupt.Defer(nullptr, nullptr);
    for (RolloutDevice& device : devices) {
        const std::string hint = PortAccessHint(device.port);
        if (device.result == kErrPortOpen && !hint.empty()) device.message += "; " + hint;
    }
    const bool interrupted = interrupt.Presses() > 0;
    int exitCode = RolloutExitCode(devices, interrupted);

    const nlohmann::ordered_json json = RolloutJson(devices, interrupted);
    if (options.json) {
        PrintJsonLine(json);
    } else {
        PrintRolloutTable(devices);
    }
    std::fflush(stdout);

    if (!options.reportPath.empty()) {
        const std::string text =
            json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
        char reason[512] = {};
        const ResultCode written = WriteFileReplacing(
            options.reportPath.c_str(), reinterpret_cast<const std::uint8_t*>(text.data()),
            text.size(), reason, sizeof reason);
        if (written != kResultOk) {
            std::fprintf(stderr, "vx40: the report was not written: %s\n",
                         reason[0] != '\0' ? reason : options.reportPath.c_str());
            if (exitCode == kExitSuccess) exitCode = kExitFile;
        }
    }
    std::fflush(stderr);
    return exitCode;
}
