#include "fleet/service_log.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <system_error>

#include "fleet/identity_json.h"
#include "fleet/sha256.h"
#include "protocol/message_catalogue.h"

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

const char* CommandName(ServiceCommand command) {
    switch (command) {
        case ServiceCommand::kWrite:
            return "write";
        case ServiceCommand::kBackup:
            return "backup";
        case ServiceCommand::kActivate:
            return "activate";
    }
    return "";
}

}  // namespace

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

std::string NewServiceEntryId() {
    std::random_device random;
    const std::uint64_t value =
        (std::uint64_t{random()} << 32) ^ random() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string ServiceLogLine(const ServiceEntry& record) {
    Json entry;
    entry["time"] = Iso8601Utc(record.started);
    entry["command"] = CommandName(record.command);
    if (record.startLine) entry["state"] = "started";
    if (!record.id.empty()) entry["id"] = record.id;
    if (record.command == ServiceCommand::kBackup) entry["kind"] = record.backupKind;
    entry["port"] = record.port;
    entry["node"] = record.node;
    if (!record.identifications.empty())
        entry["before"] = IdentityJson(record.identifications.front());
    if (record.command == ServiceCommand::kWrite && record.identifications.size() > 1)
        entry["after"] = IdentityJson(record.identifications.back());

    if (record.command == ServiceCommand::kWrite) {
        Json module;
        module["name"] = record.moduleFile;
        std::error_code error;
        const auto size = fs::file_size(PathOf(record.moduleFile), error);
        if (!error) module["size"] = size;
        const std::string digest = Sha256OfFile(record.moduleFile);
        if (!digest.empty()) module["sha256"] = digest;
        entry["module"] = module;
        if (!record.startLine) entry["blocks"] = record.blocks;
    }
    if (record.command == ServiceCommand::kBackup && !record.backupFile.empty()) {
        Json backup;
        backup["path"] = record.backupFile;
        const std::string digest =
            record.result == kResultOk ? Sha256OfFile(record.backupFile) : std::string();
        if (!digest.empty()) backup["sha256"] = digest;
        entry["backup"] = backup;
    }
    // A start says nothing yet of how the write ends.
    if (record.startLine) return entry.dump(-1, ' ', false, Json::error_handler_t::replace);
    entry["result"] = record.result;
    entry["message"] = std::string(MessageOf(record.result));
    if (!record.detail.empty()) entry["detail"] = record.detail;
    entry["durationMs"] =
        std::chrono::duration_cast<std::chrono::milliseconds>(record.took).count();
    // One line whatever the texts hold: dump escapes line breaks, and text
    // that is not UTF-8 is patched rather than allowed to throw.
    return entry.dump(-1, ' ', false, Json::error_handler_t::replace);
}

ServiceLog::ServiceLog(std::string path, ServiceLogWarning warn)
    : path_(std::move(path)), warn_(std::move(warn)) {}

void ServiceLog::Append(const ServiceEntry& entry) {
    if (path_.empty()) return;
    std::string problem;
    if (!AppendWholeLine(path_, ServiceLogLine(entry) + "\n", problem)) Warn(problem);
}

void ServiceLog::Warn(const std::string& problem) {
    // Once a run: a log that fails for one node fails for the next as well.
    if (warned_) return;
    warned_ = true;
    if (warn_) warn_(problem);
}
