// The service log: one JSON line for every write, backup and activation, on
// one node or on a list of them, so that what was done to which device, with
// which file, can be told afterwards. A log that cannot be written costs a
// warning, never the device command.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "dialog/field_dialog.h"
#include "protocol/result_code.h"

enum class ServiceCommand { kWrite, kBackup, kActivate };

// One command on one node, as its entry records it. The log is also the
// journal of the work done on devices: before its first block goes out, a
// write says in a line of its own that it has started, and the line that
// says how it ended carries the same id. A start without its end is a write
// cut short (power lost, the program killed): the next rollout does it
// again.
struct ServiceEntry {
    ServiceCommand command = ServiceCommand::kWrite;
    bool startLine = false;       // the line that a write has started, not how it ended
    std::string id;               // a write's, shared by its two lines; empty for others
    const char* backupKind = "";  // backup: "calibration" or "configuration"
    std::string port;
    int node = 0;
    // Every identification the command completed: a write identifies the
    // device before and after it.
    std::vector<IdentityFields> identifications;
    std::string moduleFile;  // write: the module's path
    int blocks = -1;         // write: the records the device accepted
    std::string backupFile;  // backup: the path written
    ResultCode result = kResultOk;
    std::string detail;  // for port and file failures: the name and the system's reason
    std::chrono::system_clock::time_point started;
    std::chrono::steady_clock::duration took{};
};

// The entry's line (without its line break).
std::string ServiceLogLine(const ServiceEntry& entry);

// A new id for a write's two lines: unique enough among the writes of one
// log (random, 64 bits).
std::string NewServiceEntryId();

// A warning for the technician: the log cannot be written.
using ServiceLogWarning = std::function<void(const std::string& problem)>;

// Where the entries of a run go, resolved once; each append warns when it
// fails, once a run.
class ServiceLog {
  public:
    // `path` empty: no log. `warn` is told of the first failure.
    ServiceLog(std::string path, ServiceLogWarning warn);
    void Append(const ServiceEntry& entry);
    const std::string& Path() const { return path_; }
    // A failure found before the first entry (no place for the log).
    void Warn(const std::string& problem);

  private:
    std::string path_;
    ServiceLogWarning warn_;
    bool warned_ = false;
};

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
