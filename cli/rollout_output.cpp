#include "cli/rollout_output.h"

#include <algorithm>

#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/report.h"
#include "fleet/rollout_plan.h"
#include "platform/utf8_prefix.h"
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

std::vector<std::string> RolloutStatus::Block(int height) const {
    std::vector<std::string> block;
    // One row is kept free for the cursor below the block.
    const auto fits = static_cast<std::size_t>(std::max(1, height - 1));
    if (rows_.size() <= fits) {
        for (const Row& row : rows_)
            block.push_back(Text(row));
        return block;
    }
    // Too many lines: the busiest, in plan order, and a row for the rest.
    const auto busy = [](const Row& row) {
        if (row.done) return 0;
        if (row.percent >= 0) return 3;  // writing
        return row.node >= 0 ? 2 : 1;    // at a device, or waiting
    };
    std::vector<std::size_t> order(rows_.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return busy(rows_[a]) > busy(rows_[b]); });
    order.resize(fits - 1);
    std::sort(order.begin(), order.end());
    int counts[4] = {};
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (!std::binary_search(order.begin(), order.end(), i)) ++counts[busy(rows_[i])];
    for (const std::size_t i : order)
        block.push_back(Text(rows_[i]));
    std::string rest =
        std::to_string(rows_.size() - order.size()) + (order.empty() ? " lines:" : " more lines:");
    const char* names[4] = {"done", "waiting", "at a device", "writing"};
    bool first = true;
    for (int kind = 3; kind >= 0; --kind) {
        if (counts[kind] == 0) continue;
        rest += first ? " " : ", ";
        rest += std::to_string(counts[kind]) + " " + names[kind];
        first = false;
    }
    block.push_back(rest);
    return block;
}

void RolloutStatus::Draw(std::size_t line, const std::string* notice) {
    if (!terminal_) {
        if (notice != nullptr) {
            std::fprintf(stream_, "%s\n", notice->c_str());
        } else if (!quiet_) {
            std::fprintf(stream_, "%s\n", Text(rows_[line]).c_str());
        }
        std::fflush(stream_);
        return;
    }
    int columns = 80;
    int height = 24;
    (void)TerminalSize(stream_, columns, height);
    // Back to the block's first line: the cursor sits below it.
    std::string out;
    if (drawnLines_ > 0) {
        out += "\x1b[";
        out += std::to_string(drawnLines_);
        out += 'A';
    }
    out += '\r';
    if (notice != nullptr) {
        // Above the block, which is drawn again below it.
        out += "\x1b[J";
        out += *notice;
        out += '\n';
    }
    drawnLines_ = 0;
    if (!quiet_) {
        // Cut short of the last column: a row that reached it would wrap on
        // some terminals and push the block down at every redraw.
        const auto width = static_cast<std::size_t>(std::max(1, columns - 1));
        for (const std::string& text : Block(height)) {
            out += text.substr(0, Utf8CharactersLength(text, width));
            out += "\x1b[K\n";
            ++drawnLines_;
        }
    }
    std::fputs(out.c_str(), stream_);
    std::fflush(stream_);
}

void RolloutStatus::Notice(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Draw(0, &text);
}

void RolloutStatus::Interrupted() {
    Notice(
        "Ctrl-C: no further device is started; the writes under way finish and are verified "
        "(Ctrl-C again aborts them)");
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
    ++row.ended[static_cast<std::size_t>(device.action)];
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
    row.done = true;
    row.text = "done:";
    std::size_t served = 0;
    for (const int ended : row.ended)
        served += static_cast<std::size_t>(ended);
    row.ended[static_cast<std::size_t>(RolloutAction::NotServed)] +=
        static_cast<int>(row.count - served);
    for (std::size_t action = 0; action < kRolloutActionCount; ++action) {
        if (row.ended[action] == 0) continue;
        row.text += row.text == "done:" ? " " : ", ";
        row.text += std::to_string(row.ended[action]);
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
    return ExitCodeOf(device.result, false);
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
