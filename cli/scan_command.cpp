#include "cli/scan_command.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/status_output.h"
#include "cli/terminal_dialog.h"
#include "dialog/command_context.h"
#include "dialog/control_ids.h"
#include "dialog/status.h"
#include "operations/line_scan.h"
#include "protocol/message_catalogue.h"

namespace {

using Json = nlohmann::ordered_json;

struct ScannedDevice {
    int node;
    std::array<std::string, 5> identity;  // in the order of kIdentityCaptions
};

std::string Count(std::size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string WarningText(const ScanWarning& warning) {
    std::string text = "warning: node " + std::to_string(warning.node) + ": ";
    switch (warning.problem) {
        case ScanProblem::kOtherNode:
            return text + "the reply came from node " + std::to_string(warning.otherNode);
        case ScanProblem::kGarbled:
            return text + "a garbled reply";
        case ScanProblem::kPresenceRefused:
            return text +
                   "the presence check was refused: " + std::string(MessageOf(warning.result));
        case ScanProblem::kNoInformation:
            text += "answered, but its information was not read: " +
                    std::string(MessageOf(warning.result));
            if (warning.otherNode >= 0)
                text += " (a reply came from node " + std::to_string(warning.otherNode) + ")";
            return text;
    }
    return text;
}

class ScanReport : public ScanListener {
  public:
    explicit ScanReport(StatusOutput& status) : status_(status) {}

    void Asking(std::size_t index, std::size_t count, std::uint8_t node) override {
        const std::string text = "node " + std::to_string(node) + " (" + std::to_string(index + 1) +
                                 " of " + std::to_string(count) + ")";
        char percent[16];
        FormatPercent(percent, static_cast<int>(count), static_cast<int>(index));
        status_.Show(text, percent);
    }

    void Found(std::uint8_t node, const IdentityTexts& texts) override {
        devices_.push_back({node,
                            {texts.deviceType, texts.serialNumber, texts.bootVersion,
                             texts.appVersion, texts.requiredBootVersion}});
    }

    void Warn(const ScanWarning& warning) override {
        // A line of its own, so that the next node's progress does not
        // draw over it.
        status_.BreakLine();
        std::fprintf(stderr, "%s\n", WarningText(warning).c_str());
        std::fflush(stderr);
    }

    // In node order, whatever the order of the list.
    std::vector<ScannedDevice> Devices() const {
        std::vector<ScannedDevice> sorted = devices_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const auto& a, const auto& b) { return a.node < b.node; });
        return sorted;
    }

  private:
    StatusOutput& status_;
    std::vector<ScannedDevice> devices_;
};

// A caption line and one row a device; the captions are the dialog's,
// without their colons.
void PrintTable(const std::vector<ScannedDevice>& devices) {
    std::vector<std::string> captions{"485 N"};
    for (const char* text : kIdentityCaptions) {
        std::string caption = text;
        while (!caption.empty() && (caption.back() == ':' || caption.back() == ' '))
            caption.pop_back();
        captions.push_back(caption);
    }
    std::vector<std::vector<std::string>> rows{captions};
    for (const ScannedDevice& device : devices) {
        std::vector<std::string> row{std::to_string(device.node)};
        row.insert(row.end(), device.identity.begin(), device.identity.end());
        rows.push_back(row);
    }
    PrintColumns(rows);
}

Json ScanJson(const CliOptions& options, ResultCode result,
              const std::vector<ScannedDevice>& devices) {
    Json json;
    json["result"] = result;
    json["message"] = std::string(MessageOf(result));
    json["port"] = options.port;
    json["devices"] = Json::array();
    for (const ScannedDevice& device : devices) {
        Json entry{{"node", device.node}};
        entry.update(IdentityJson(device.identity));
        json["devices"].push_back(entry);
    }
    return json;
}

}  // namespace

int RunScan(const CliOptions& options, LineState& line, Event& commandEvent, StatusOutput& status) {
    TerminalDialog dialog(status, SaveAnswer{});
    dialog.SetField(kIdPort, options.port);
    CommandContext context{dialog, line, commandEvent};
    ScanReport report(status);
    const ResultCode result = ScanLineCommand(context, options.nodes, report);
    const std::vector<ScannedDevice> devices = report.Devices();
    if (result == kResultOk || result == kErrNoDevice) {
        status.Show(Count(options.nodes.size(), "node") + " asked, " +
                        Count(devices.size(), "device") + " found",
                    "100%");
    }

    Outcome failure;
    failure.result = result;
    if (result == kErrPortOpen) failure.detail = PortOpenDetail(options.port, line);
    PrintFailureLines(failure, status);
    if (options.json) {
        PrintJsonLine(ScanJson(options, result, devices));
    } else if (!devices.empty()) {
        PrintTable(devices);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return ExitCodeOf(result, false);
}
