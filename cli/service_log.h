// The service log: one JSON line for every write, backup and activation, on
// one node or on a list of them, so that what was done to which device, with
// which file, can be told afterwards. A log that cannot be written costs a
// warning, never the device command.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <istream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"

class StatusOutput;

using IdentityFields = std::array<std::string, 5>;  // in the order of Outcome::identity

// What a run of one command on one node leaves for its entry besides its
// outcome.
struct ServiceRecord {
    std::chrono::system_clock::time_point started;
    std::chrono::steady_clock::duration took{};
    // Every identification the command completed: a write identifies the
    // device before and after it.
    std::vector<IdentityFields> identifications;
};

// True for the commands that change a device or save its blocks.
bool LoggedCommand(CommandKind command);

// The entry of one command on one node. `options` carries that node.
std::string ServiceLogLine(const CliOptions& options, const Outcome& outcome,
                           const ServiceRecord& record);

// Where the entries of a run go, resolved once; each append warns on stderr
// when it fails, once a run.
class ServiceLog {
  public:
    ServiceLog(const CliOptions& options, StatusOutput& status);
    void Append(const CliOptions& options, const Outcome& outcome, const ServiceRecord& record);

  private:
    void Warn(const std::string& problem);

    StatusOutput& status_;
    std::string path_;  // empty: no log
    bool warned_ = false;
};

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
};
ServiceLogListing ReadServiceLog(std::istream& in, int last);

// `vx40 log`: the last entries as a table on stdout, or as the JSON lines
// they are. Returns the exit code.
int PrintServiceLog(const CliOptions& options);

// "2024-05-17T09:03:21.042Z".
std::string Iso8601Utc(std::chrono::system_clock::time_point time);

// The log's usual place: service.log in ServiceLogFolder. With `makeFolder`
// the folder is made when missing. Empty, with `problem` set, when there is
// no such place.
std::string DefaultServiceLogPath(bool makeFolder, std::string& problem);

// Platform parts (service_log_posix.cpp, service_log_win32.cpp).

// The log's folder: $XDG_STATE_HOME/vx40, else ~/.local/state/vx40;
// %LOCALAPPDATA%\vx40 on Windows. Empty, with `problem` set, when there is
// no such place.
std::string ServiceLogFolder(std::string& problem);

// Appends `line` (newline included) to the file `path`, made when missing,
// in a single write at the file's end: lines appended by processes at the
// same time never mix or overwrite each other.
bool AppendWholeLine(const std::string& path, const std::string& line, std::string& problem);
