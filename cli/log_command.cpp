#include "cli/log_command.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>
#include <utility>

#include "cli/exit_codes.h"
#include "cli/report.h"
#include "cli/status_output.h"

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string TextOf(const Json& entry, const char* key) {
    const auto found = entry.find(key);
    if (found == entry.end()) return "-";
    if (found->is_string()) return Printable(found->get<std::string>());
    if (found->is_number_unsigned()) return std::to_string(found->get<unsigned long long>());
    if (found->is_number_integer()) return std::to_string(found->get<long long>());
    return "-";
}

bool IsStartLine(const Json& entry) {
    const auto state = entry.find("state");
    return state != entry.end() && state->is_string() && *state == "started";
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
    if (IsStartLine(entry)) {
        // Its end never came: power lost, the program killed.
        result = "started, never ended";
    } else if (result == "0") {
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

std::string ServiceLogWarningText(const std::string& problem) {
    return "vx40: warning: no service log entry: " + problem;
}

ServiceLogWarning WarnBelow(StatusOutput& status) {
    return [&status](const std::string& problem) {
        status.BreakLine();
        std::fprintf(stderr, "%s\n", ServiceLogWarningText(problem).c_str());
        std::fflush(stderr);
    };
}

ServiceLog OpenServiceLog(const CliOptions& options, ServiceLogWarning warn) {
    if (options.noLog || !LoggedCommand(options.command)) return ServiceLog("", warn);
    if (!options.logPath.empty()) return ServiceLog(options.logPath, warn);
    std::string problem;
    ServiceLog log(DefaultServiceLogPath(true, problem), warn);
    if (log.Path().empty()) log.Warn(problem);
    return log;
}

ServiceEntry ServiceEntryOf(const CliOptions& options, const Outcome& outcome,
                            const std::vector<IdentityFields>& identifications) {
    ServiceEntry entry;
    switch (options.command) {
        case CommandKind::Backup:
            entry.command = ServiceCommand::kBackup;
            entry.backupKind =
                options.backupKind == BackupKind::Calibration ? "calibration" : "configuration";
            entry.backupFile = outcome.file;
            break;
        case CommandKind::Activate:
            entry.command = ServiceCommand::kActivate;
            break;
        default:
            entry.command = ServiceCommand::kWrite;
            entry.moduleFile = options.moduleFile;
            entry.blocks = outcome.blocks;
            break;
    }
    entry.port = options.port;
    entry.node = std::stoi(options.node);
    entry.identifications = identifications;
    entry.result = outcome.result;
    entry.detail = outcome.detail;
    return entry;
}

ServiceLogListing ReadServiceLog(std::istream& in, int last) {
    ServiceLogListing listing;
    std::vector<std::pair<std::string, Json>> entries;
    // The ids of the writes that ended: their start lines are folded into
    // the line that says how they ended.
    std::set<std::string> ended;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        Json entry = Json::parse(line, nullptr, false);
        if (!entry.is_object()) {
            ++listing.damaged;
            continue;
        }
        const std::string id = TextOf(entry, "id");
        if (id != "-" && !IsStartLine(entry)) ended.insert(id);
        entries.emplace_back(std::move(line), std::move(entry));
    }
    for (auto& [line, entry] : entries) {
        if (IsStartLine(entry) && ended.count(TextOf(entry, "id")) != 0) {
            ++listing.folded;
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
