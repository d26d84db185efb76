// The service log as vx40 has it: where a run's entries go (--log, --no-log),
// the entry of one command on one node, and `vx40 log`, which lists them.
#pragma once

#include <deque>
#include <istream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "fleet/service_log.h"

class StatusOutput;

// True for the commands that change a device or save its blocks.
bool LoggedCommand(CommandKind command);

// The log of a run: --log PATH, none with --no-log or for a command that
// logs nothing, else the usual place. `warn` is told when it cannot be
// written.
ServiceLog OpenServiceLog(const CliOptions& options, ServiceLogWarning warn);

// That warning on stderr, below the status line.
ServiceLogWarning WarnBelow(StatusOutput& status);

// The warning's text.
std::string ServiceLogWarningText(const std::string& problem);

// The entry of one command on one node. `options` carries that node.
ServiceEntry ServiceEntryOf(const CliOptions& options, const Outcome& outcome,
                            const std::vector<IdentityFields>& identifications);

// What `vx40 log` shows of a log: each line that is a JSON object, as it
// stands (for --json) and as the table's row. Anything else in the file (a
// line cut short by a full disc, a hand edit, junk) is counted and left
// out; a field of the wrong type shows as "-", control characters as '?'.
struct ServiceLogEntry {
    std::string line;
    std::vector<std::string> row;
};
struct ServiceLogListing {
    std::deque<ServiceLogEntry> entries;  // the last `last` (all when `last` <= 0)
    int damaged = 0;
    // A write's line that it has started, when the line of its end follows:
    // that one stands for both. A start without its end is listed as such.
    int folded = 0;
};
ServiceLogListing ReadServiceLog(std::istream& in, int last);

// `vx40 log`: the last entries as a table on stdout, or as the JSON lines
// they are. Returns the exit code.
int PrintServiceLog(const CliOptions& options);
