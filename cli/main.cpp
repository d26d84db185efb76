// vx40: the loader's device commands from a terminal or a script.
//
// One command a run, on one node or on several in turn: the command line
// fills the dialog's fields, the command runs as the dialog's button would
// run it, and the outcome becomes stdout, stderr, the exit code (see
// exit_codes.h and README.md) and an entry in the service log.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/doctor_command.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/log_command.h"
#include "cli/node_run.h"
#include "cli/options.h"
#include "cli/rollout_command.h"
#include "cli/scan_command.h"
#include "cli/status_output.h"
#include "cli/trace_output.h"
#include "exchange/line_state.h"
#include "platform/event.h"
#include "protocol/message_catalogue.h"
#include "transport/serial_channel.h"

namespace {

// The line's buffers are large and live for the whole run.
LineState g_line;

}  // namespace

int main(int argc, char** argv) {
    const auto started = std::chrono::steady_clock::now();
    PrepareConsole();

    const std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(argument.c_str());
    CliOptions options;
    const ParseResult parsed =
        ParseArguments(static_cast<int>(pointers.size()), pointers.data(), options);
    if (!parsed.run) return parsed.exitCode;
    if (options.command == CommandKind::Log) return PrintServiceLog(options);

    Event commandEvent;
    if (!commandEvent.Valid()) {
        std::fprintf(stderr, "%s\n", std::string(MessageOf(kErrUnknown)).c_str());
        return ExitCodeOf(kErrUnknown, false);
    }
    // Before any other thread exists (see interrupt.h).
    InterruptWatch interrupt(commandEvent);

    StatusOutput status(stderr, IsTerminal(stderr), options.quiet);
    TraceOutput trace{stderr, status, started};
    g_line.abortEvent = &commandEvent;
    ChannelUseRs485(g_line.channel, options.rs485);
    if (options.trace) {
        g_line.trace = TraceFrame;
        g_line.traceContext = &trace;
    }
    if (options.command == CommandKind::Rollout)
        return RunRolloutCommand(options, interrupt, IsTerminal(stderr));
    if (options.command == CommandKind::Scan) return RunScan(options, g_line, commandEvent, status);
    if (options.command == CommandKind::Doctor)
        return RunDoctor(options, g_line, commandEvent, status);
    return RunOnNodes(options, g_line, commandEvent, interrupt, status);
}
