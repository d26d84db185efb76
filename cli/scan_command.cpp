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

// The table's captions: the dialog's, without their colons.
std::vector<std::string> Captions() {
    std::vector<std::string> captions{"485 N"};
    for (const char* text : kIdentityCaptions) {
        std::string caption = text;
        while (!caption.empty() && (caption.back() == ':' || caption.back() == ' '))
            caption.pop_back();
        captions.push_back(caption);
    }
    return captions;
}

// Rows are printed as devices are found, before the later ones are known, so
// each column is as wide as the longest text it can ever hold: a node, four
// letters of device type, eight digits of serial number or "не задан", 18
// characters of version and date, and "отсутствует".
constexpr std::array<std::size_t, 6> kLongestValues = {3, 4, 8, 18, 18, 11};

class ScanReport : public ScanListener {
  public:
    ScanReport(StatusOutput& status, bool printRows) : status_(status), printRows_(printRows) {}

    void Asking(ScanPass pass, std::size_t index, std::size_t count, std::uint8_t node) override {
        const std::string text = "node " + std::to_string(node) + " (" + std::to_string(index + 1) +
                                 " of " + std::to_string(count) +
                                 (pass == ScanPass::kFull ? ", full wait)" : ")");
        char percent[16];
        FormatPercent(percent, static_cast<int>(count), static_cast<int>(index));
        status_.Show(text, percent);
    }

    void Found(std::uint8_t node, const IdentityTexts& texts) override {
        devices_.push_back({node,
                            {texts.deviceType, texts.serialNumber, texts.bootVersion,
                             texts.appVersion, texts.requiredBootVersion}});
        if (printRows_) PrintFound(devices_.back());
    }

    void Warn(const ScanWarning& warning) override {
        // A line of its own, so that the next node's progress does not
        // draw over it.
        status_.BreakLine();
        std::fprintf(stderr, "%s\n", WarningText(warning).c_str());
        std::fflush(stderr);
    }

    // In node order, whatever the order of the list and of finding.
    std::vector<ScannedDevice> Devices() const {
        std::vector<ScannedDevice> sorted = devices_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const auto& a, const auto& b) { return a.node < b.node; });
        return sorted;
    }

  private:
    void PrintFound(const ScannedDevice& device) {
        // Below the status line, which a terminal would otherwise draw over.
        status_.BreakLine();
        if (widths_.empty()) {
            const std::vector<std::string> captions = Captions();
            for (std::size_t i = 0; i < captions.size(); ++i)
                widths_.push_back(std::max(Utf8Width(captions[i]), kLongestValues[i]));
            PrintRow(captions, widths_);
        }
        std::vector<std::string> row{std::to_string(device.node)};
        row.insert(row.end(), device.identity.begin(), device.identity.end());
        PrintRow(row, widths_);
        std::fflush(stdout);
    }

    StatusOutput& status_;
    bool printRows_;
    std::vector<ScannedDevice> devices_;
    std::vector<std::size_t> widths_;  // empty until the caption line is out
};

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
    ScanReport report(status, !options.json);
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
    if (options.json) PrintJsonLine(ScanJson(options, result, devices));
    std::fflush(stdout);
    std::fflush(stderr);
    return ExitCodeOf(result, false);
}
