// Runs the one command the command line names and gathers what the report
// needs of it.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/serial_ports.h"
#include "dialog/command_context.h"

class TerminalDialog;
class InterruptWatch;

struct Outcome {
    ResultCode result = kResultOk;
    // A backup refused because its file exists and --force was not given.
    bool targetExists = false;
    // For port and file failures: the name and the system's reason.
    std::string detail;
    std::string file;  // backup: the path written
    int blocks = -1;   // write: the records the device accepted
    // The identity fields, in the dialog's order, when an identification
    // completed.
    bool identified = false;
    std::array<std::string, 5> identity;
    std::vector<SerialPortEntry> ports;
};

// Why `port` could not be opened: the channel's reason, and what access the
// port needs where the system says so.
std::string PortOpenDetail(const std::string& port, const LineState& line);

Outcome RunCommand(const CliOptions& options, CommandContext& context, TerminalDialog& dialog,
                   const InterruptWatch& interrupt);
