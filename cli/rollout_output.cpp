#include "cli/rollout_output.h"

#include "cli/exit_codes.h"
#include "cli/report.h"
#include "fleet/rollout_plan.h"
#include "protocol/message_catalogue.h"

namespace {

using Json = nlohmann::ordered_json;

// The version of an application version field, without its date.
std::string VersionOnly(const std::string& field) {
    return field.substr(0, field.find(' '));
}

}  // namespace

RolloutStatus::RolloutStatus(std::FILE* stream, bool terminal, bool quiet, const RolloutPlan& plan)
    : stream_(stream), terminal_(terminal), quiet_(quiet) {
    for (const PlanLine& line : plan.lines) {
        Row row;
        row.port = line.port;
        row.count = line.nodes.size();
        row.text = "waiting";
        rows_.push_back(row);
    }
}

std::string RolloutStatus::Text(const Row& row) const {
    std::string text = row.port + "  ";
    if (row.node >= 0) {
        // Piece by piece: `"text" + std::to_string(...)` trips a false
        // -Wrestrict of GCC 12 at -O3 (the Windows build).
        text += "node ";
        text += std::to_string(row.node);
        text += " (";
        text += std::to_string(row.index + 1);
        text += " of ";
        text += std::to_string(row.count);
        text += ")  ";
    }
    text += row.text;
    if (row.percent >= 0) {
        text += ' ';
        text += std::to_string(row.percent);
        text += '%';
    }
    return text;
}

void RolloutStatus::Draw(std::size_t line) {
    if (quiet_) return;
    if (!terminal_) {
        std::fprintf(stream_, "%s\n",
                     line < rows_.size() ? Text(rows_[line]).c_str() : notice_.c_str());
        std::fflush(stream_);
        return;
    }
    // The whole block again, from its first line: the cursor sits below it.
    std::string out;
    if (drawnLines_ > 0) {
        out += "\x1b[";
        out += std::to_string(drawnLines_);
        out += 'A';
    }
    for (const Row& row : rows_) {
        out += '\r';
        out += Text(row);
        out += "\x1b[K\n";
    }
    drawnLines_ = rows_.size();
    if (!notice_.empty()) {
        out += '\r';
        out += notice_;
        out += "\x1b[K\n";
        ++drawnLines_;
    }
    std::fputs(out.c_str(), stream_);
    std::fflush(stream_);
}

void RolloutStatus::Interrupted() {
    const std::lock_guard<std::mutex> lock(mutex_);
    notice_ =
        "Ctrl-C: no further device is started; the writes under way finish and are verified "
        "(Ctrl-C again aborts them)";
    Draw(rows_.size());
}

void RolloutStatus::Starting(std::size_t line, std::size_t index, std::size_t, std::uint8_t node) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Row& row = rows_[line];
    row.index = index;
    row.node = node;
    row.percent = -1;
    row.text = "identifying";
    Draw(line);
}

void RolloutStatus::Writing(std::size_t line, int percent) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Row& row = rows_[line];
    const int before = row.percent;
    if (percent == before) return;
    row.text = "writing";
    row.percent = percent;
    // A plain line for every quarter, not for every block.
    if (!terminal_ && before >= 0 && before / 25 == percent / 25) return;
    Draw(line);
}

void RolloutStatus::Finished(const RolloutDevice& device) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Row& row = rows_[device.line];
    ++row.done[static_cast<std::size_t>(device.action)];
    row.percent = -1;
    row.text = std::string(ActionName(device.action));
    if (!device.message.empty()) row.text += ": " + Printable(device.message);
    Draw(device.line);
}

void RolloutStatus::LineDone(std::size_t line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Row& row = rows_[line];
    row.node = -1;
    row.percent = -1;
    row.text = "done:";
    std::size_t served = 0;
    for (const int done : row.done)
        served += static_cast<std::size_t>(done);
    row.done[static_cast<std::size_t>(RolloutAction::NotServed)] +=
        static_cast<int>(row.count - served);
    for (std::size_t action = 0; action < kRolloutActionCount; ++action) {
        if (row.done[action] == 0) continue;
        row.text += row.text == "done:" ? " " : ", ";
        row.text += std::to_string(row.done[action]);
        row.text += ' ';
        row.text += ActionName(static_cast<RolloutAction>(action));
    }
    Draw(line);
}

void PrintRolloutTable(const std::vector<RolloutDevice>& devices) {
    std::vector<std::vector<std::string>> rows{
        {"PORT", "NODE", "TYPE", "BEFORE", "AFTER", "ACTION", "MESSAGE"}};
    for (const RolloutDevice& device : devices) {
        rows.push_back({device.port, std::to_string(device.node),
                        device.identifiedBefore ? device.before[0] : "-",
                        device.identifiedBefore ? VersionOnly(device.before[3]) : "-",
                        device.identifiedAfter ? VersionOnly(device.after[3]) : "-",
                        ActionName(device.action), device.message});
    }
    PrintColumns(rows);
    std::fflush(stdout);
}

int DeviceExitCode(const RolloutDevice& device) {
    if (device.action == RolloutAction::Absent) return kExitNoDevice;
    if (device.action != RolloutAction::Failed) return kExitSuccess;
    // A failed verification has no result code of its own.
    return device.result == kResultOk ? kExitOther : ExitCodeOf(device.result, false);
}

int RolloutExitCode(const std::vector<RolloutDevice>& devices, bool interrupted) {
    if (interrupted) return kExitInterrupted;
    for (const RolloutDevice& device : devices)
        if (const int code = DeviceExitCode(device); code != kExitSuccess) return code;
    return kExitSuccess;
}

Json RolloutJson(const std::vector<RolloutDevice>& devices, bool interrupted) {
    Json json;
    ResultCode result = kResultOk;
    std::string message;
    if (interrupted) {
        result = kErrAborted;
        message = std::string(MessageOf(kErrAborted));
    } else {
        for (const RolloutDevice& device : devices) {
            if (DeviceExitCode(device) == kExitSuccess) continue;
            result = device.result;
            message = device.port + " node " + std::to_string(device.node) + ": " + device.message;
            break;
        }
    }
    json["result"] = result;
    json["message"] = message;
    json["devices"] = Json::array();
    std::size_t counts[kRolloutActionCount] = {};
    for (const RolloutDevice& device : devices) {
        ++counts[static_cast<std::size_t>(device.action)];
        Json entry;
        entry["port"] = device.port;
        entry["node"] = device.node;
        entry["action"] = ActionName(device.action);
        entry["result"] = device.result;
        entry["message"] = device.message;
        entry["before"] = device.identifiedBefore ? IdentityJson(device.before) : Json();
        entry["after"] = device.identifiedAfter ? IdentityJson(device.after) : Json();
        entry["seconds"] =
            static_cast<double>(static_cast<long long>(device.seconds * 1000)) / 1000;
        json["devices"].push_back(entry);
    }
    Json countJson;
    for (std::size_t action = 0; action < kRolloutActionCount; ++action)
        countJson[ActionName(static_cast<RolloutAction>(action))] = counts[action];
    json["counts"] = countJson;
    return json;
}
