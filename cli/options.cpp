#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <map>

#include "cli/serial_ports.h"
#include "cli/terminal_dialog.h"
#include "fleet/node_list.h"
#include "operations/dialog_inputs.h"
#include "operations/module_writer.h"
#include "platform/utf8_prefix.h"
#include "vx40_version.h"

namespace {

constexpr const char* kFooter =
    "Exit codes: 0 success; 2 usage; 3 file (cannot open, read or write it, not a module, or "
    "a backup target that exists without --force); 4 the port cannot be opened; 5 no device "
    "or the exchange failed; 6 the device refused; 130 interrupted (Ctrl-C); 1 anything "
    "else.\nWith --json, stdout carries one JSON object: result, message, port, node, device, "
    "file (backup), blocks (write); with several --nodes, one object whose results array holds "
    "one such object per node.\nEvery write, backup and activate adds a line to the service log "
    "(see 'vx40 log').";

void AddGlobalOptions(CLI::App& app, CliOptions& options) {
    app.add_option("-p,--port", options.port,
                   "Serial port (default " + std::string(DefaultPortName()) +
                       "), or a serial server on the network: socket://HOST:PORT or "
                       "rfc2217://HOST:PORT, optionally with ?latency=MS")
        ->check([](const std::string& text) {
            if (text.empty()) return std::string("the port name is empty");
            if (text.size() > static_cast<std::size_t>(kPortNameLimit)) {
                return "a port name has at most " + std::to_string(kPortNameLimit) + " bytes";
            }
            return std::string();
        });
    app.add_option("-n,--node", options.node, "RS-485 node number, 0 to 255 (default 255)")
        ->check([](const std::string& text) {
            return IsNodeNumber(text) ? std::string()
                                      : std::string("the node is a number from 0 to 255");
        });
    app.add_option_function<std::string>(
           "--nodes",
           [&options](const std::string& text) {
               std::string problem;
               ParseNodeList(text, options.nodes, problem);
           },
           "Serve these nodes in turn instead of -n: numbers and ranges, as 1,5,10-20")
        ->type_name("LIST")
        ->excludes(app.get_option("--node"))
        ->check([](const std::string& text) {
            std::vector<std::uint8_t> nodes;
            std::string problem;
            return ParseNodeList(text, nodes, problem) ? std::string() : problem;
        });
    app.add_flag("--stop-on-error", options.stopOnError,
                 "With --nodes, serve no node after the first that fails");
    CLI::Option* log = app.add_option("--log", options.logPath,
                                      "Service log file (default: vx40/service.log in the "
                                      "user's state folder)")
                           ->type_name("PATH");
    app.add_flag("--no-log", options.noLog, "Write no service log entry")->excludes(log);
    app.add_flag("--json", options.json, "Print the result as one JSON object on stdout");
    app.add_flag("--trace", options.trace,
                 "Print every frame sent (tx) and received (rx) on stderr, in hex, with the "
                 "time in ms");
    app.add_flag("-q,--quiet", options.quiet, "Do not show the status line");
    // Without a value the flag gives "on": no delays.
    app.add_flag("--rs485{on}", options.rs485Text,
                 "Linux, a local port: have the kernel switch RTS around each frame for a "
                 "transceiver whose direction follows RTS (a UART on the board; USB adapters "
                 "do it themselves), with =BEFORE,AFTER delays in ms (0 to 100); the port's "
                 "settings are given back when it closes")
        ->check([](const std::string& text) {
            Rs485Mode mode;
            return text == "on" || ParseRs485Delays(text, mode)
                       ? std::string()
                       : std::string("--rs485=BEFORE,AFTER: two delays in ms, 0 to 100 each");
        });
}

}  // namespace

bool IsNodeNumber(std::string_view text) {
    unsigned node = 0;
    return ReadNodeNumber(text, node);
}

ParseResult ParseArguments(int argc, const char* const* argv, CliOptions& options) {
    options.port = DefaultPortName();

    CLI::App app{"VX40 loader: the device commands of a Velmo 2.0 device on an RS-485 line.",
                 "vx40"};
    app.footer(kFooter);
    app.set_version_flag("--version", "vx40 " VX40_VERSION_TEXT);
    app.require_subcommand(1);
    // Options a command does not know fall through to the program, so the
    // global options may follow the command as well as precede it.
    app.fallthrough();
    AddGlobalOptions(app, options);

    CLI::App* info = app.add_subcommand("info", "Search for the device and print its identity");
    info->add_option("--timeout", options.timeoutSeconds,
                     "Give up after SEC seconds without an answer (default: search until "
                     "Ctrl-C)")
        ->type_name("SEC")
        ->check(CLI::PositiveNumber);

    CLI::App* write = app.add_subcommand("write", "Write a module file into the device");
    write->add_option("FILE", options.moduleFile, "Module file (*.vx4)")
        ->required()
        ->check([](const std::string& text) {
            return Utf8CharactersLength(text, kPathLimit) == text.size()
                       ? std::string()
                       : "a module path has at most " + std::to_string(kPathLimit) + " characters";
        });

    CLI::App* backup = app.add_subcommand(
        "backup", "Read the calibration or configuration blocks and save them to a file");
    backup->add_option("KIND", options.backupKind, "calibration or configuration")
        ->required()
        ->transform(CLI::CheckedTransformer(
            std::map<std::string, BackupKind>{{"calibration", BackupKind::Calibration},
                                              {"configuration", BackupKind::Configuration}}));
    backup->add_option("-o,--output", options.outputPath,
                       "File to write, or a folder for the proposed name (default: the proposed "
                       "name, TYPE_SERIAL_CLB.vx4 or TYPE_SERIAL_CFG.vx4, in the current folder)");
    backup->add_flag("--force", options.force, "Replace the file if it exists");

    CLI::App* activate = app.add_subcommand("activate", "Tell the device to start its application");
    CLI::App* ports = app.add_subcommand("ports", "List the serial ports present");
    ports->footer(
        "Serial servers on the network are not listed; give them with -p as "
        "socket://HOST:PORT (raw TCP: the server owns the line settings) or "
        "rfc2217://HOST:PORT (Telnet, RFC 2217: vx40 sets the remote line to 57600 8N1). "
        "HOST is a name, an IPv4 address or an IPv6 address in brackets; ?latency=MS adds "
        "an allowance for the network's round trip to the reply wait (default 100).");
    CLI::App* serviceLog =
        app.add_subcommand("log", "Print the service log: what was written, saved and activated");
    serviceLog->add_option("--last", options.lastEntries, "Only the last N entries")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    CLI::App* scan = app.add_subcommand(
        "scan", "Find the devices on the line: ask every node of --nodes (default 0-255)");
    scan->footer(
        "A quick pass asks every node once with a 33 ms reply wait (about 9 s for all 256 "
        "nodes); a full pass then asks the nodes that stayed silent with the usual 250 ms, "
        "so a slow device is found too. The identity of each device that answered is "
        "printed as a row as soon as it is found, or with --json one object with a devices "
        "array in node order. Exit 0 when a device was found, 5 when none was; Ctrl-C "
        "prints what was found so far (130).");

    CLI::App* rollout = app.add_subcommand(
        "rollout", "Update the devices of several lines from one plan, the lines in parallel");
    rollout->add_option("PLAN", options.planPath, "The plan: a TOML file (see README)")->required();
    rollout->add_flag("--dry-run", options.dryRun,
                      "Identify the planned devices and tell what would be written; write "
                      "nothing");
    rollout
        ->add_option("--report", options.reportPath,
                     "Also write the --json object to this file (replaced atomically), "
                     "whatever the outcome")
        ->type_name("PATH");
    rollout->footer(
        "The plan is checked whole, its ports included, and every port opened before any "
        "line is touched (exit 2 for the plan, 3 for a module file, 4 for a port). Each planned "
        "device is identified; one of a type without a module is left alone (other-type), one "
        "that reports the module's version already is skipped unless the service log says its "
        "latest write or activation did not finish, any other is written, identified again and "
        "must then report the plan's version (written, else failed, 1). The canary devices go "
        "first, one at a time; then all lines run at once. After max-failures failed devices no "
        "further device is started (not-served). Exit 0 when every device ended written, "
        "skipped or other-type; else that of the first device that failed or was absent (5); "
        "130 after Ctrl-C (a first press lets the writes in progress finish, a second aborts "
        "them; the report and the log are written either way).");

    CLI::App* doctor = app.add_subcommand(
        "doctor",
        "Say why no device answers: probe the node, listen to the line, name what "
        "came back and what to try");
    doctor->footer(
        "Opens the port (naming the adapter, its driver and its line error counts on Linux), "
        "sends a few presence checks to -n and listens a second after each, keeping every "
        "byte. The verdict: answered (exit 0, with the identity), refused (6), late, "
        "other-node, garbled, echo-only or silent (5); port-failed (4) when the port stops "
        "working during the probe, and 4 when it cannot be opened. "
        "For silent and echo-only, a quick scan of every node names those that answer. "
        "Ends within about 20 s. With --json one object: result, message, port, node, "
        "verdict, echo, replyMs, otherNode, answeredAt, device, adapter.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return {false, code == 0 ? 0 : 2};
    }

    if (info->parsed()) options.command = CommandKind::Info;
    if (write->parsed()) options.command = CommandKind::Write;
    if (backup->parsed()) options.command = CommandKind::Backup;
    if (activate->parsed()) options.command = CommandKind::Activate;
    if (ports->parsed()) options.command = CommandKind::Ports;
    if (serviceLog->parsed()) options.command = CommandKind::Log;
    if (rollout->parsed()) options.command = CommandKind::Rollout;
    if (doctor->parsed()) options.command = CommandKind::Doctor;
    if (scan->parsed()) {
        options.command = CommandKind::Scan;
        // Without --nodes a scan looks at the whole line, not at -n.
        if (options.nodes.empty())
            for (int node = 0; node <= 255; ++node)
                options.nodes.push_back(static_cast<std::uint8_t>(node));
    }

    options.rs485.enabled = !options.rs485Text.empty();
    if (options.rs485Text != "on") ParseRs485Delays(options.rs485Text, options.rs485);

    // A single -n is a list of one.
    const bool listGiven = !options.nodes.empty();
    if (!listGiven) options.nodes.push_back(static_cast<std::uint8_t>(std::stoi(options.node)));
    const char* refusal = nullptr;
    std::string rs485Refusal;
    if (options.rs485.enabled && Rs485Refusal(options.port) != nullptr)
        rs485Refusal = std::string("--rs485: ") + Rs485Refusal(options.port);
    if (listGiven &&
        (options.command == CommandKind::Ports || options.command == CommandKind::Log ||
         options.command == CommandKind::Rollout || options.command == CommandKind::Doctor)) {
        refusal = "--nodes: only info, write, backup and activate serve nodes";
    } else if (options.rs485.enabled && options.command == CommandKind::Rollout) {
        refusal = "--rs485: not with rollout; the plan says it for each line (rs485 = true)";
    } else if (!rs485Refusal.empty()) {
        refusal = rs485Refusal.c_str();
    } else if (options.command == CommandKind::Rollout && options.trace) {
        // The frames of several lines at once would interleave on stderr.
        refusal = "--trace: not with rollout; trace one line with write or info";
    } else if (options.command == CommandKind::Backup && options.nodes.size() > 1 &&
               !NamesFolder(options.outputPath)) {
        // Each device's file takes its proposed name; one file name cannot
        // serve them all.
        refusal = "--output: with several nodes, a folder for the proposed names";
    }
    if (refusal != nullptr) {
        std::fprintf(stderr, "%s\nRun with --help for more information.\n", refusal);
        return {false, 2};
    }
    return {true, 0};
}
