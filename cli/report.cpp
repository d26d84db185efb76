#include "cli/report.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/status_output.h"
#include "protocol/message_catalogue.h"

namespace {

using Json = nlohmann::ordered_json;

Json JsonOf(const CliOptions& options, const Outcome& outcome) {
    Json json;
    json["result"] = outcome.result;
    json["message"] = std::string(MessageOf(outcome.result));
    if (options.command == CommandKind::Ports) {
        json["ports"] = Json::array();
        for (const SerialPortEntry& port : outcome.ports) {
            Json entry{{"name", port.name}};
            if (!port.target.empty()) entry["target"] = port.target;
            json["ports"].push_back(entry);
        }
        return json;
    }
    json["port"] = options.port;
    json["node"] = std::stoi(options.node);
    if (outcome.identified) json["device"] = IdentityJson(outcome.identity);
    if (options.command == CommandKind::Backup && !outcome.file.empty())
        json["file"] = outcome.file;
    if (options.command == CommandKind::Write) json["blocks"] = outcome.blocks;
    return json;
}

void PrintText(const CliOptions& options, const Outcome& outcome) {
    if (options.command == CommandKind::Ports) {
        for (const SerialPortEntry& port : outcome.ports) {
            if (port.target.empty()) {
                std::printf("%s\n", port.name.c_str());
            } else {
                std::printf("%s -> %s\n", port.name.c_str(), port.target.c_str());
            }
        }
        return;
    }
    if (outcome.result != kResultOk) return;
    if (options.command == CommandKind::Backup) {
        std::printf("%s\n", outcome.file.c_str());
        return;
    }
    // info, and write, which ends by identifying the device again.
    if (!outcome.identified) return;
    PrintIdentityLines(outcome.identity);
}

void PrintFailure(const Outcome& outcome) {
    const std::string_view message = MessageOf(outcome.result);
    if (!message.empty()) {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
    } else if (outcome.result > 0 && !outcome.targetExists) {
        std::fprintf(stderr, "The save question failed (error %d).\n", outcome.result);
    } else if (outcome.result < 0) {
        std::fprintf(stderr, "Failed with code %d.\n", outcome.result);
    }
    if (!outcome.detail.empty()) std::fprintf(stderr, "%s\n", outcome.detail.c_str());
}

}  // namespace

std::string Printable(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto code = static_cast<unsigned char>(text[i]);
        if (code < 0x20 || code == 0x7F) {
            text[i] = '?';
        } else if (code == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            text.replace(i, 2, "?");
        }
    }
    return text;
}

void PrintIdentityLines(const std::array<std::string, 5>& identity) {
    for (std::size_t i = 0; i < kIdentityCaptions.size(); ++i)
        std::printf("%s %s\n", kIdentityCaptions[i], Printable(identity[i]).c_str());
}

void PrintOutcome(const CliOptions& options, const Outcome& outcome, StatusOutput& status) {
    PrintFailureLines(outcome, status);
    if (options.json) {
        PrintJsonLine(JsonOf(options, outcome));
    } else {
        PrintText(options, outcome);
    }
    std::fflush(stdout);
    std::fflush(stderr);
}

void PrintFailureLines(const Outcome& outcome, StatusOutput& status) {
    status.BreakLine();
    if (outcome.result != kResultOk || outcome.targetExists) PrintFailure(outcome);
    std::fflush(stderr);
}

Json OutcomeJson(const CliOptions& options, const Outcome& outcome) {
    return JsonOf(options, outcome);
}

void PrintJsonLine(const Json& json) {
    // The texts are UTF-8 already; should one not be, it is patched rather
    // than allowed to throw.
    const std::string text = json.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
}

void PrintColumns(const std::vector<std::vector<std::string>>& rows) {
    if (rows.empty()) return;
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], Utf8Width(row[i]));
    }
    for (const auto& row : rows)
        PrintRow(row, widths);
}

void PrintRow(const std::vector<std::string>& row, const std::vector<std::size_t>& widths) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
        const std::string cell = Printable(row[i]);
        line += cell;
        if (i + 1 < row.size()) {
            const std::size_t width = Utf8Width(cell);
            line.append((i < widths.size() && widths[i] > width ? widths[i] - width : 0) + 2, ' ');
        }
    }
    std::printf("%s\n", line.c_str());
}
