#include "cli/node_run.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/log_command.h"
#include "cli/report.h"
#include "cli/status_output.h"
#include "cli/terminal_dialog.h"
#include "dialog/command_context.h"
#include "platform/event.h"
#include "protocol/message_catalogue.h"

namespace {

using Json = nlohmann::ordered_json;

struct NodeResult {
    int node = 0;
    bool served = false;
    Outcome outcome;
};

bool Failed(const Outcome& outcome) {
    return outcome.result != kResultOk || outcome.targetExists;
}

// The summary's words for a failure: the catalogue text, else what the
// command said of it (a backup target that exists), else the code.
std::string FailureText(const Outcome& outcome) {
    std::string text(MessageOf(outcome.result));
    if (text.empty()) text = outcome.detail;
    if (text.empty()) text = "error " + std::to_string(outcome.result);
    return text;
}

void PrintSummary(const std::vector<NodeResult>& results, bool interrupted) {
    for (const NodeResult& result : results) {
        if (!result.served) {
            std::printf("node %d: not served (%s)\n", result.node,
                        interrupted ? "interrupted" : "--stop-on-error");
        } else if (!Failed(result.outcome)) {
            std::printf("node %d: ok\n", result.node);
        } else {
            std::printf("node %d: failed, exit %d: %s\n", result.node,
                        ExitCodeOf(result.outcome.result, result.outcome.targetExists),
                        FailureText(result.outcome).c_str());
        }
    }
}

}  // namespace

int RunOnNodes(const CliOptions& options, LineState& line, Event& commandEvent,
               const InterruptWatch& interrupt, StatusOutput& status) {
    const bool several = options.nodes.size() > 1;
    ServiceLog log = OpenServiceLog(options, WarnBelow(status));
    std::vector<NodeResult> results;
    Json objects = Json::array();
    int exitCode = kExitSuccess;
    ResultCode firstFailure = kResultOk;
    bool stopped = false;

    for (const std::uint8_t node : options.nodes) {
        results.push_back({node, false, {}});
        if (stopped) continue;
        if (interrupt.Interrupted()) {
            stopped = true;
            continue;
        }
        // An `info --timeout` that ran out ended its search through the
        // command event; the next node starts with the event clear.
        commandEvent.Reset();

        CliOptions one = options;
        one.node = std::to_string(node);
        if (several && !options.json) {
            status.BreakLine();
            std::printf("[node %d]\n", node);
            std::fflush(stdout);
        }
        // A dialog of its own for every node: no identity, refused target or
        // reason of one device is taken for the next one's.
        TerminalDialog dialog(status, SaveAnswer{options.outputPath, options.force});
        CommandContext context{dialog, line, commandEvent};
        const auto wallStart = std::chrono::system_clock::now();
        const auto started = std::chrono::steady_clock::now();
        // A write says in the log that it has started before its first
        // block goes out, so that one cut short is known for what it is.
        const std::string id = one.command == CommandKind::Write ? NewServiceEntryId() : "";
        context.beforeFirstBlock = [&]() -> ResultCode {
            ServiceEntry start = ServiceEntryOf(one, Outcome{}, dialog.Identifications());
            start.startLine = true;
            start.id = id;
            start.started = wallStart;
            log.Append(start);
            return kResultOk;
        };
        // A notice even when quiet, as the service log's warnings: a search
        // that seems to hang while the adapter is out says why.
        context.portGoneNotice = [&](bool back) {
            status.BreakLine();
            if (back) {
                std::fprintf(stderr, "%s: the port is back; searching on\n", one.port.c_str());
            } else {
                std::fprintf(stderr, "%s: the port is gone (%s); opening it again every second\n",
                             one.port.c_str(), line.channel.lastError);
            }
            std::fflush(stderr);
        };
        const Outcome outcome = RunCommand(one, context, dialog, interrupt);
        if (LoggedCommand(one.command)) {
            ServiceEntry entry = ServiceEntryOf(one, outcome, dialog.Identifications());
            entry.id = id;
            entry.started = wallStart;
            entry.took = std::chrono::steady_clock::now() - started;
            log.Append(entry);
        }

        if (several && options.json) {
            PrintFailureLines(outcome, status);
            objects.push_back(OutcomeJson(one, outcome));
        } else {
            PrintOutcome(one, outcome, status);
        }
        results.back().served = true;
        results.back().outcome = outcome;

        if (Failed(outcome) && exitCode == kExitSuccess) {
            exitCode = ExitCodeOf(outcome.result, outcome.targetExists);
            firstFailure = outcome.result;
        }
        if ((Failed(outcome) && options.stopOnError) || interrupt.Interrupted()) stopped = true;
    }

    if (!several) return exitCode;
    status.BreakLine();
    if (options.json) {
        Json summary;
        summary["result"] = firstFailure;
        summary["message"] = std::string(MessageOf(firstFailure));
        summary["results"] = objects;
        Json skipped = Json::array();
        for (const NodeResult& result : results) {
            if (!result.served) skipped.push_back(result.node);
        }
        if (!skipped.empty()) summary["notServed"] = skipped;
        PrintJsonLine(summary);
    } else {
        PrintSummary(results, interrupt.Interrupted());
    }
    std::fflush(stdout);
    return exitCode;
}
