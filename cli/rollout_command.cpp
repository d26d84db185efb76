#include "cli/rollout_command.h"

#include <cstdio>
#include <string>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/rollout_output.h"
#include "cli/rollout_plan.h"
#include "cli/rollout_run.h"
#include "cli/service_log.h"
#include "operations/file_access.h"

int RunRolloutCommand(const CliOptions& options, InterruptWatch& interrupt, StatusOutput& status,
                      bool terminal) {
    RolloutPlan plan;
    PlanProblem problem;
    if (!ReadRolloutPlan(options.planPath, plan, problem)) {
        std::fprintf(stderr, "%s\n", problem.message.c_str());
        return problem.exitCode;
    }

    // Writes and activations are logged as the write and activate commands
    // log theirs; a dry run changes nothing and logs nothing.
    CliOptions logOptions = options;
    logOptions.command = CommandKind::Write;
    logOptions.noLog = options.noLog || options.dryRun;
    ServiceLog log(logOptions, status);

    RolloutStatus lines(stderr, terminal, options.quiet, plan);
    const std::vector<RolloutDevice> devices = RunRollout(plan, options, interrupt, log, lines);
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
