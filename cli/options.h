// The command line of vx40: global options, the command and its arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "operations/backup.h"
#include "transport/rs485_mode.h"

enum class CommandKind { Info, Write, Backup, Activate, Ports, Log, Scan, Rollout, Doctor };

struct CliOptions {
    std::string port;          // the port field's text
    std::string node = "255";  // the node field's text, as given
    // The nodes served in turn: those of --nodes, or the one of -n.
    std::vector<std::uint8_t> nodes;
    bool stopOnError = false;  // with several nodes: none after the first failure
    std::string logPath;       // the service log; empty for its usual place
    bool noLog = false;
    bool json = false;
    bool trace = false;
    bool quiet = false;
    Rs485Mode rs485;        // the kernel's RS-485 mode for a local port (--rs485)
    std::string rs485Text;  // --rs485 as given: "on", or its delays

    CommandKind command = CommandKind::Info;
    double timeoutSeconds = 0;  // info: 0 searches until Ctrl-C
    std::string moduleFile;     // write
    BackupKind backupKind = BackupKind::Calibration;
    std::string outputPath;  // backup: empty for the proposed name here
    bool force = false;      // backup: replace an existing file
    int lastEntries = 0;     // log: the last N entries; 0 all
    std::string planPath;    // rollout: the plan file
    bool dryRun = false;     // rollout: identify only
    std::string reportPath;  // rollout: the report's JSON file; empty for none
};

// What parsing decided: run the command, or end at once with `exitCode`
// (0 after --help, 2 for a usage error, whose text is already on stderr).
struct ParseResult {
    bool run = false;
    int exitCode = 0;
};

// Parses UTF-8 arguments (argv[0] is the program's name).
ParseResult ParseArguments(int argc, const char* const* argv, CliOptions& options);

// True for a decimal number from 0 to 255 written with digits only.
bool IsNodeNumber(std::string_view text);
