#include "cli/service_log.h"

#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "cli/exit_codes.h"
#include "cli/report.h"
#include "cli/sha256.h"
#include "cli/status_output.h"
#include "protocol/message_catalogue.h"

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

const char* CommandName(CommandKind command) {
    switch (command) {
        case CommandKind::Write:
            return "write";
        case CommandKind::Backup:
            return "backup";
        case CommandKind::Activate:
            return "activate";
        default:
            return "";
    }
}

// Text that may be anything the log holds: a missing or mistyped field is
// shown as "-" rather than stopping the listing.
std::string TextOf(const Json& entry, const char* key) {
    const auto found = entry.find(key);
    if (found == entry.end()) return "-";
    if (found->is_string()) return Printable(found->get<std::string>());
    if (found->is_number_unsigned()) return std::to_string(found->get<unsigned long long>());
    if (found->is_number_integer()) return std::to_string(found->get<long long>());
    return "-";
}

std::vector<std::string> TableRow(const Json& entry) {
    std::string command = TextOf(entry, "command");
    if (entry.contains("kind")) command += " " + TextOf(entry, "kind");

    std::string device = "-";
    if (const auto before = entry.find("before"); before != entry.end() && before->is_object())
        device = TextOf(*before, "deviceType") + " " + TextOf(*before, "serialNumber");

    std::string file = "-";
    if (const auto module = entry.find("module"); module != entry.end() && module->is_object())
        file = TextOf(*module, "name");
    if (const auto backup = entry.find("backup"); backup != entry.end() && backup->is_object())
        file = TextOf(*backup, "path");

    std::string took = "-";
    // A duration no command can take (negative, or beyond a year) is damage.
    constexpr double kLongestMs = 366.0 * 24 * 3600 * 1000;
    if (const auto ms = entry.find("durationMs"); ms != entry.end() && ms->is_number()) {
        const double value = ms->get<double>();
        if (value >= 0 && value <= kLongestMs) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1f s", value / 1000);
            took = text;
        }
    }

    std::string result = TextOf(entry, "result");
    if (result == "0") {
        result = "ok";
    } else if (const std::string message = TextOf(entry, "message"); message != "-") {
        if (!message.empty()) result += " " + message;
    }
    return {TextOf(entry, "time"),
            command,
            TextOf(entry, "port"),
            TextOf(entry, "node"),
            device,
            file,
            took,
            result};
}

}  // namespace

bool LoggedCommand(CommandKind command) {
    return command == CommandKind::Write || command == CommandKind::Backup ||
           command == CommandKind::Activate;
}

std::string Iso8601Utc(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = time_point_cast<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss clock{ms - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string DefaultServiceLogPath(bool makeFolder, std::string& problem) {
    const std::string folder = ServiceLogFolder(problem);
    if (folder.empty()) return "";
    if (makeFolder) {
        std::error_code error;
        fs::create_directories(PathOf(folder), error);
        if (error) {
            problem = folder + ": cannot create: " + error.message();
            return "";
        }
    }
    return folder + static_cast<char>(fs::path::preferred_separator) + "service.log";
}

std::string ServiceLogLine(const CliOptions& options, const Outcome& outcome,
                           const ServiceRecord& record) {
    Json entry;
    entry["time"] = Iso8601Utc(record.started);
    entry["command"] = CommandName(options.command);
    if (options.command == CommandKind::Backup) {
        entry["kind"] =
            options.backupKind == BackupKind::Calibration ? "calibration" : "configuration";
    }
    entry["port"] = options.port;
    entry["node"] = std::stoi(options.node);
    if (!record.identifications.empty())
        entry["before"] = IdentityJson(record.identifications.front());
    if (options.command == CommandKind::Write && record.identifications.size() > 1)
        entry["after"] = IdentityJson(record.identifications.back());

    if (options.command == CommandKind::Write) {
        Json module;
        module["name"] = options.moduleFile;
        std::error_code error;
        const auto size = fs::file_size(PathOf(options.moduleFile), error);
        if (!error) module["size"] = size;
        const std::string digest = Sha256OfFile(options.moduleFile);
        if (!digest.empty()) module["sha256"] = digest;
        entry["module"] = module;
        entry["blocks"] = outcome.blocks;
    }
    if (options.command == CommandKind::Backup && !outcome.file.empty()) {
        Json backup;
        backup["path"] = outcome.file;
        const std::string digest =
            outcome.result == kResultOk ? Sha256OfFile(outcome.file) : std::string();
        if (!digest.empty()) backup["sha256"] = digest;
        entry["backup"] = backup;
    }
    entry["result"] = outcome.result;
    entry["message"] = std::string(MessageOf(outcome.result));
    if (!outcome.detail.empty()) entry["detail"] = outcome.detail;
    entry["durationMs"] =
        std::chrono::duration_cast<std::chrono::milliseconds>(record.took).count();
    // One line whatever the texts hold: dump escapes line breaks, and text
    // that is not UTF-8 is patched rather than allowed to throw.
    return entry.dump(-1, ' ', false, Json::error_handler_t::replace);
}

ServiceLog::ServiceLog(const CliOptions& options, StatusOutput& status) : status_(status) {
    if (options.noLog || !LoggedCommand(options.command)) return;
    if (!options.logPath.empty()) {
        path_ = options.logPath;
        return;
    }
    std::string problem;
    path_ = DefaultServiceLogPath(true, problem);
    if (path_.empty()) Warn(problem);
}

void ServiceLog::Append(const CliOptions& options, const Outcome& outcome,
                        const ServiceRecord& record) {
    if (path_.empty() || !LoggedCommand(options.command)) return;
    std::string problem;
    if (!AppendWholeLine(path_, ServiceLogLine(options, outcome, record) + "\n", problem))
        Warn(problem);
}

void ServiceLog::Warn(const std::string& problem) {
    // Once a run: a log that fails for one node fails for the next as well.
    if (warned_) return;
    warned_ = true;
    status_.BreakLine();
    std::fprintf(stderr, "vx40: warning: no service log entry: %s\n", problem.c_str());
    std::fflush(stderr);
}

ServiceLogListing ReadServiceLog(std::istream& in, int last) {
    ServiceLogListing listing;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const Json entry = Json::parse(line, nullptr, false);
        if (!entry.is_object()) {
            ++listing.damaged;
            continue;
        }
        listing.entries.push_back({std::move(line), TableRow(entry)});
        if (last > 0 && listing.entries.size() > static_cast<std::size_t>(last))
            listing.entries.pop_front();
    }
    return listing;
}

int PrintServiceLog(const CliOptions& options) {
    std::string problem;
    const std::string path =
        options.logPath.empty() ? DefaultServiceLogPath(false, problem) : options.logPath;
    if (path.empty()) {
        std::fprintf(stderr, "vx40: %s\n", problem.c_str());
        return kExitFile;
    }
    std::error_code error;
    if (!fs::exists(PathOf(path), error) && !error) {
        std::fprintf(stderr, "%s: no entries yet\n", path.c_str());
        return kExitSuccess;
    }
    std::ifstream in(PathOf(path), std::ios::binary);
    if (!in || fs::is_directory(PathOf(path), error)) {
        std::fprintf(stderr, "%s: cannot read the service log\n", path.c_str());
        return kExitFile;
    }

    const ServiceLogListing listing = ReadServiceLog(in, options.lastEntries);
    if (listing.damaged > 0)
        std::fprintf(stderr, "%s: %d line(s) that are not entries left out\n", path.c_str(),
                     listing.damaged);

    if (options.json) {
        for (const ServiceLogEntry& entry : listing.entries)
            std::printf("%s\n", entry.line.c_str());
    } else if (!listing.entries.empty()) {
        std::vector<std::vector<std::string>> rows{
            {"TIME", "COMMAND", "PORT", "NODE", "DEVICE", "FILE", "TOOK", "RESULT"}};
        for (const ServiceLogEntry& entry : listing.entries)
            rows.push_back(entry.row);
        PrintColumns(rows);
    }
    std::fflush(stdout);
    return kExitSuccess;
}
