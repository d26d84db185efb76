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
#include "protocol/message_catalogue.h"

namespace {

using Json = nlohmann::ordered_json;

// Writes the report, replacing what was there at once; false, with the
// reason on stderr, when it cannot be written.
bool WriteReport(const std::string& path, const Json& json) {
    const std::string text = json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    char reason[512] = {};
    if (WriteFileReplacing(path.c_str(), reinterpret_cast<const std::uint8_t*>(text.data()),
                           text.size(), reason, sizeof reason) == kResultOk)
        return true;
    std::fprintf(stderr, "vx40: the report was not written: %s\n",
                 reason[0] != '\0' ? reason : path.c_str());
    return false;
}

// Where the run reads unfinished work from: the log it writes to.
std::string JournalPath(const CliOptions& options) {
    if (options.noLog) return "";
    if (!options.logPath.empty()) return options.logPath;
    std::string problem;
    return DefaultServiceLogPath(false, problem);
}

}  // namespace

int RunRolloutCommand(const CliOptions& options, InterruptWatch& interrupt, bool terminal) {
    RolloutPlan plan;
    PlanProblem problem;
    if (!ReadRolloutPlan(options.planPath, plan, problem)) {
        std::fprintf(stderr, "%s\n", problem.message.c_str());
        // A script that reads the report learns that nothing was done.
        if (!options.reportPath.empty()) {
            Json json = RolloutJson({}, false);
            json["result"] = problem.result;
            json["message"] = problem.message;
            WriteReport(options.reportPath, json);
        }
        return ExitCodeOf(problem.result, false);
    }

    RolloutStatus lines(stderr, terminal, options.quiet, plan);
    // Writes and activations are logged as the write and activate commands
    // log theirs; a dry run changes nothing and logs nothing, but reads the
    // log for unfinished work as a real run would.
    CliOptions logOptions = options;
    logOptions.command = CommandKind::Write;
    logOptions.noLog = options.noLog || options.dryRun;
    // Its warnings stay on the screen, above the status lines.
    ServiceLog log = OpenServiceLog(
        logOptions, [&lines](const std::string& why) { lines.Notice(ServiceLogWarningText(why)); });
    RolloutSettings settings;
    settings.dryRun = options.dryRun;
    settings.journalPath = JournalPath(options);
    if (options.noLog)
        lines.Notice(
            "vx40: --no-log: a write or activation that an earlier run left unfinished "
            "cannot be recognised, and this run leaves no record of its own");

    RolloutControl control;
    // The first Ctrl-C only stops new devices; the second aborts the lines.
    interrupt.Defer(
        [&] {
            control.Stop();
            lines.Interrupted();
        },
        [&] { control.Abort(); });
    std::vector<RolloutDevice> devices = RunRollout(plan, settings, log, lines, control);
    // The run and its listener end here; a press from now on only counts.
    interrupt.Defer(nullptr, nullptr);
    for (RolloutDevice& device : devices) {
        const std::string hint = PortAccessHint(device.port);
        if (device.result == kErrPortOpen && !hint.empty()) device.message += "; " + hint;
    }
    const bool interrupted = interrupt.Presses() > 0;
    int exitCode = RolloutExitCode(devices, interrupted);

    Json json = RolloutJson(devices, interrupted);
    if (!options.reportPath.empty() && !WriteReport(options.reportPath, json) &&
        exitCode == kExitSuccess) {
        exitCode = kExitFile;
        json["result"] = kErrFileWrite;
        json["message"] = "the report was not written: " + options.reportPath;
    }
    if (options.json) {
        PrintJsonLine(json);
    } else {
        PrintRolloutTable(devices);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return exitCode;
}
