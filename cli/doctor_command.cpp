#include "cli/doctor_command.h"

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
#include "cli/serial_ports.h"
#include "cli/status_output.h"
#include "cli/terminal_dialog.h"
#include "dialog/command_context.h"
#include "dialog/control_ids.h"
#include "dialog/status.h"
#include "exchange/line_state.h"
#include "operations/device_identity.h"
#include "operations/line_probe.h"
#include "operations/line_scan.h"
#include "protocol/message_catalogue.h"
#include "transport/line_timing.h"
#include "transport/network_port_name.h"
#include "transport/serial_channel.h"

namespace {

using Json = nlohmann::ordered_json;

struct AdapterReport {
    bool shown = false;  // a local port of which something is known
    AdapterDescription description;
    bool countersKnown = false;
    LineErrorCounters before;
    LineErrorCounters after;
    bool rs485Known = false;  // a local Linux port
    Rs485DriverState rs485;
};

struct DoctorReport {
    ResultCode result = kResultOk;
    std::uint8_t node = 255;
    bool probed = false;
    ProbeFindings findings;
    int replyWaitMs = kReplyWaitMs;
    int latencyMs = -1;  // a network line's allowance; -1 for a local port
    bool scanned = false;
    std::vector<int> answeredAt;
    bool identified = false;
    std::array<std::string, 5> identity;
    AdapterReport adapter;
    std::string portDetail;  // why the port did not open, or what the system said when it failed
    // Why the port went away during the probe, when it came back and was
    // probed again; empty otherwise.
    std::string portAway;
};

// How long the doctor waits for a port that went away during the probe to
// come back (an adapter plugged in again, a server restarted), trying once a
// second: about as long as the probing itself takes.
constexpr int kPortBackWithinMs = 10'000;

// The quick pass of a scan: which nodes answer at all.
class QuickScan : public ScanListener {
  public:
    explicit QuickScan(StatusOutput& status) : status_(status) {}

    void Asking(ScanPass, std::size_t index, std::size_t count, std::uint8_t node) override {
        char percent[16];
        FormatPercent(percent, static_cast<int>(count), static_cast<int>(index));
        status_.Show("quick scan: node " + std::to_string(node), percent);
    }
    void Found(std::uint8_t node, const IdentityTexts&) override { Add(node); }
    void Warn(const ScanWarning& warning) override {
        // A device that answered the presence check is there, whatever
        // became of its information request.
        if (warning.problem == ScanProblem::kNoInformation ||
            warning.problem == ScanProblem::kPresenceRefused)
            Add(warning.node);
    }
    std::vector<int> Nodes() const { return nodes_; }

  private:
    void Add(int node) {
        if (std::find(nodes_.begin(), nodes_.end(), node) == nodes_.end()) nodes_.push_back(node);
    }
    StatusOutput& status_;
    std::vector<int> nodes_;
};

void ShowProbe(void* context, int probe, int probes) {
    auto* status = static_cast<StatusOutput*>(context);
    char percent[16];
    FormatPercent(percent, probes, probe);
    status->Show("probe " + std::to_string(probe + 1) + " of " + std::to_string(probes), percent);
}

std::string NodesText(const std::vector<int>& nodes) {
    std::string text = nodes.size() == 1 ? "node " : "nodes ";
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (i > 0) text += i + 1 == nodes.size() ? " and " : ", ";
        text += std::to_string(nodes[i]);
    }
    return text;
}

std::string CountersText(const LineErrorCounters& c) {
    return "framing " + std::to_string(c.framing) + ", parity " + std::to_string(c.parity) +
           ", overrun " + std::to_string(c.overrun) + ", break " + std::to_string(c.breaks);
}

std::string Rs485Text(const Rs485DriverState& state) {
    switch (state.support) {
        case Rs485Support::kNone:
            return "rs485: the driver has no RS-485 mode (a USB adapter switches direction "
                   "itself)";
        case Rs485Support::kOff:
            return "rs485: the driver's RS-485 mode is off";
        case Rs485Support::kOn:
            break;
    }
    return std::string("rs485: the driver's RS-485 mode is on: RTS ") +
           (state.rtsOnSend ? "high" : "low") + " while sending, " +
           std::to_string(state.mode.delayBeforeMs) + " ms before and " +
           std::to_string(state.mode.delayAfterMs) + " ms after a frame";
}

std::string Counted(int count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string GarbageText(const ProbeFindings& f) {
    std::string text;
    if (f.badFrames > 0)
        text = Counted(f.badFrames, "frame", "frames") + " with a bad checksum or form";
    if (f.foreignFrames > 0) {
        if (!text.empty()) text += ", ";
        text += Counted(f.foreignFrames, "frame", "frames") +
                " from the node with a sequence number no probe sent";
    }
    if (f.strayBytes > 0) {
        if (!text.empty()) text += ", ";
        text += Counted(f.strayBytes, "byte", "bytes") + " outside any frame";
    }
    return text;
}

// The allowance that would take a reply `replyMs` after its request, with
// room to spare, in steps of 50 ms; 0 when none within the largest would.
int LatencyFor(int replyMs) {
    const int needed = (replyMs - kReplyWaitMs) * 3 / 2;
    const int rounded = std::max(50, (needed + 49) / 50 * 50);
    return rounded <= kLongestLatencyMs ? rounded : 0;
}

std::string VerdictText(const CliOptions& options, const DoctorReport& report) {
    const ProbeFindings& f = report.findings;
    const std::string node = "node " + std::to_string(report.node);
    const std::string ms = std::to_string(f.replyMs) + " ms";
    switch (f.verdict) {
        case LineVerdict::kPortFailed:
            return "port-failed: the port stopped working during the probe" +
                   (report.portDetail.empty()
                        ? std::string()
                        : " (" + options.port + ": " + report.portDetail + ")") +
                   "; check that the adapter is still plugged in, or that the server is still "
                   "up and reachable, then run vx40 doctor again";
        case LineVerdict::kAnswered:
            return "answered: " + node + " answered the presence check in " + ms +
                   "; the line works";
        case LineVerdict::kRefused:
            return "refused: " + node + " is there but refused the presence check after " + ms +
                   " (" + std::string(MessageOf(f.refusal)) + "); see what the device's error says";
        case LineVerdict::kLate: {
            std::string text = "late: " + node + " answered " + ms +
                               " after the request, past the reply wait of " +
                               std::to_string(report.replyWaitMs) + " ms; ";
            if (report.latencyMs < 0)
                return text +
                       "the adapter or the device is too slow (a USB adapter's latency "
                       "timer, a busy device)";
            const int latency = LatencyFor(f.replyMs);
            if (latency == 0)
                return text +
                       "the server, the link or the device holds replies back longer than any "
                       "allowance";
            return text + "the server, the link or the device holds replies back: try -p '" +
                   options.port.substr(0, options.port.find('?')) +
                   "?latency=" + std::to_string(latency) + "'";
        }
        case LineVerdict::kOtherNode:
            return "other-node: a device answered as node " + std::to_string(f.otherNode) +
                   ", not as " + node + "; try -n " + std::to_string(f.otherNode);
        case LineVerdict::kGarbled:
            if (f.badFrames == 0 && f.strayBytes == 0)
                return "garbled: " + node + " sent " + Counted(f.foreignFrames, "frame", "frames") +
                       " with a sequence number no probe sent, replayed or foreign, and no "
                       "answer; a gateway or serial server may be replaying old frames (restart "
                       "it), or another master is polling the line";
            return "garbled: bytes came back but no valid frame (" + GarbageText(f) +
                   "); check the A/B polarity, the speed (57600 baud 8N1) and the termination";
        case LineVerdict::kEchoOnly:
            return "echo-only: only the tool's own frames came back" +
                   (f.looseBytes == 0
                        ? std::string()
                        : " (and " + Counted(f.looseBytes, "loose byte", "loose bytes") +
                              " as the line turned around: a bus without fail-safe bias)") +
                   ": the adapter echoes and nobody answered at " + node +
                   "; check the node number and the device's power";
        case LineVerdict::kSilent:
            break;
    }
    return "silent: not a byte came back to " + std::to_string(f.probes) +
           " presence checks; check the power, the wiring, the adapter's direction control "
           "and the node number";
}

std::vector<std::string> FindingLines(const CliOptions& options, const DoctorReport& report) {
    std::vector<std::string> lines;
    const AdapterReport& adapter = report.adapter;
    if (adapter.shown) {
        std::string text = "adapter:";
        if (!adapter.description.byIdName.empty()) text += " " + adapter.description.byIdName;
        if (!adapter.description.driver.empty())
            text += " (driver " + adapter.description.driver + ")";
        if (adapter.countersKnown) {
            // Where nothing else is known of the adapter (Windows), the counts alone.
            text += text == "adapter:" ? " " : "; ";
            text += "line errors reported by the driver: " + CountersText(adapter.after);
            const LineErrorCounters& a = adapter.after;
            const LineErrorCounters& b = adapter.before;
            if (a.framing != b.framing || a.parity != b.parity || a.overrun != b.overrun ||
                a.breaks != b.breaks)
                text += "; some during the probe: check the speed and the A/B polarity";
        }
        if (text != "adapter:") lines.push_back(text);
    }
    if (adapter.rs485Known) lines.push_back(Rs485Text(adapter.rs485));
    if (!report.probed) return lines;
    if (!report.portAway.empty())
        lines.push_back("port: " + options.port + " went away during the probe (" +
                        report.portAway +
                        ") and came back; the findings are those of the probe after it came "
                        "back: check the adapter's cable and plug, or the server's uptime");
    lines.push_back(VerdictText(options, report));
    // A UART whose transceiver takes its direction from RTS never sends
    // until the kernel switches RTS.
    if (report.findings.verdict == LineVerdict::kSilent && adapter.rs485Known &&
        adapter.rs485.support == Rs485Support::kOff)
        lines.push_back(
            "rs485: if this port's transceiver takes its direction from RTS (a UART on the "
            "board), try vx40 --rs485 doctor");
    if (report.findings.verdict == LineVerdict::kAnswered && report.result != kResultOk)
        lines.push_back("identity: the information request then failed (" +
                        std::string(MessageOf(report.result)) +
                        "); run vx40 --trace info to see the exchange");
    // A port that failed may have died before an echo could come back.
    if (report.findings.echo)
        lines.push_back("echo: the adapter echoes what the tool sends; vx40 allows for it");
    else if (report.findings.verdict != LineVerdict::kPortFailed)
        lines.push_back("echo: none, the line does not echo");
    std::vector<int> others = report.answeredAt;
    std::erase(others, report.node);
    if (report.scanned && others.size() < report.answeredAt.size()) {
        // Silent to the probes, then there for the scan: the line loses
        // some of its frames.
        std::string text = "scan: node " + std::to_string(report.node) +
                           " answered the quick scan but not the " +
                           std::to_string(report.findings.probes) +
                           " presence checks before it: it answers only sometimes; check the "
                           "termination, the bias and the device's power";
        if (!others.empty()) text += "; a device also answers at " + NodesText(others);
        lines.push_back(text);
    } else if (report.scanned) {
        std::string text = "scan: nobody at node " + std::to_string(report.node);
        if (report.answeredAt.empty()) {
            text += ", and no other node answered a quick scan of 0-255";
        } else {
            text += "; a device answers at " + NodesText(report.answeredAt) + ": try -n " +
                    std::to_string(report.answeredAt.front());
        }
        lines.push_back(text);
    }
    return lines;
}

Json DoctorJson(const CliOptions& options, const DoctorReport& report) {
    Json json;
    json["result"] = report.result;
    json["message"] = std::string(MessageOf(report.result));
    json["port"] = options.port;
    json["node"] = report.node;
    if (report.probed) {
        const ProbeFindings& f = report.findings;
        json["verdict"] = std::string(VerdictName(f.verdict));
        json["echo"] = f.echo;
        if (!report.portAway.empty()) json["portCameBack"] = true;
        if (f.replyMs >= 0) json["replyMs"] = f.replyMs;
        if (f.verdict == LineVerdict::kOtherNode) json["otherNode"] = f.otherNode;
        if (report.scanned) json["answeredAt"] = report.answeredAt;
        if (report.identified) json["device"] = IdentityJson(report.identity);
    }
    if (report.adapter.shown) {
        const AdapterReport& adapter = report.adapter;
        Json entry;
        entry["byId"] = adapter.description.byIdName.empty() ? Json(nullptr)
                                                             : Json(adapter.description.byIdName);
        entry["driver"] =
            adapter.description.driver.empty() ? Json(nullptr) : Json(adapter.description.driver);
        if (adapter.countersKnown) {
            entry["errors"] = {{"framing", adapter.after.framing},
                               {"parity", adapter.after.parity},
                               {"overrun", adapter.after.overrun},
                               {"break", adapter.after.breaks}};
        } else {
            entry["errors"] = nullptr;
        }
        if (adapter.rs485Known) {
            const Rs485DriverState& rs485 = adapter.rs485;
            Json mode;
            mode["mode"] = rs485.support == Rs485Support::kNone  ? "none"
                           : rs485.support == Rs485Support::kOff ? "off"
                                                                 : "on";
            if (rs485.support == Rs485Support::kOn) {
                mode["rtsOnSend"] = rs485.rtsOnSend;
                mode["delayBeforeMs"] = rs485.mode.delayBeforeMs;
                mode["delayAfterMs"] = rs485.mode.delayAfterMs;
            }
            entry["rs485"] = mode;
        }
        json["adapter"] = entry;
    }
    return json;
}

ResultCode ResultOf(const ProbeFindings& findings) {
    switch (findings.verdict) {
        case LineVerdict::kAnswered:
            return kResultOk;
        case LineVerdict::kRefused:
            return findings.refusal;
        case LineVerdict::kPortFailed:
            return kErrPortOpen;
        default:
            return kErrNoDevice;
    }
}

// Probes the node over the open channel and, as the verdict asks, reads the
// device's identity or scans the line quickly.
ResultCode Diagnose(const CliOptions& options, CommandContext& context, TerminalDialog& dialog,
                    StatusOutput& status, DoctorReport& report) {
    LineState& line = context.line;
    report.replyWaitMs = ChannelReplyWaitMs(line.channel);
    if (ProbeNode(line, report.node, report.findings, ShowProbe, &status) == kErrAborted)
        return kErrAborted;
    report.probed = true;
    if (report.findings.verdict == LineVerdict::kPortFailed) {
        report.portDetail = line.channel.lastError;
        // A port that went away may come back (an adapter plugged in again,
        // a server restarted): then the line is probed afresh, and the
        // findings say that it was away. One that does not stays failed.
        if (ChannelPortGone(line.channel)) {
            status.Show("the port is gone: opening it again every second", "00%");
            const ResultCode back = ReopenChannel(line.channel, options.port.c_str(),
                                                  line.abortEvent, kPortBackWithinMs);
            if (back == kErrAborted) return kErrAborted;
            if (back != kResultOk) {
                report.portDetail +=
                    "; not back within " + std::to_string(kPortBackWithinMs / 1000) + " s";
            } else {
                report.portAway = report.portDetail;
                report.portDetail.clear();
                // Another adapter may have come back with counts of its own.
                AdapterReport& adapter = report.adapter;
                if (adapter.countersKnown)
                    adapter.countersKnown = ChannelErrorCounters(line.channel, adapter.before);
                if (ProbeNode(line, report.node, report.findings, ShowProbe, &status) ==
                    kErrAborted)
                    return kErrAborted;
                if (report.findings.verdict == LineVerdict::kPortFailed)
                    report.portDetail = line.channel.lastError;
            }
        }
    }
    const LineVerdict verdict = report.findings.verdict;
    if (verdict == LineVerdict::kAnswered) {
        const ResultCode result = IdentifyDevice(context, report.node);
        report.identified = dialog.Identified();
        if (report.identified) report.identity = dialog.CurrentIdentity();
        return result;
    }
    if (verdict == LineVerdict::kSilent || verdict == LineVerdict::kEchoOnly) {
        std::vector<std::uint8_t> nodes(256);
        for (int node = 0; node < 256; ++node)
            nodes[static_cast<std::size_t>(node)] = static_cast<std::uint8_t>(node);
        QuickScan scan(status);
        const ResultCode scanned = ScanLine(context, nodes, scan, ScanPasses::kQuickOnly);
        if (scanned == kErrAborted) return kErrAborted;
        report.scanned = true;
        report.answeredAt = scan.Nodes();
        std::sort(report.answeredAt.begin(), report.answeredAt.end());
    }
    return ResultOf(report.findings);
}

}  // namespace

int RunDoctor(const CliOptions& options, LineState& line, Event& commandEvent,
              StatusOutput& status) {
    TerminalDialog dialog(status, SaveAnswer{});
    dialog.SetField(kIdPort, options.port);
    dialog.SetField(kIdNode, options.node);
    CommandContext context{dialog, line, commandEvent};
    DoctorReport report;
    report.node = options.nodes.front();
    NetworkPortName network;
    const char* problem = nullptr;
    if (NetworkKindOf(options.port) != NetworkKind::kNone &&
        ParseNetworkPortName(options.port, network, problem)) {
        report.latencyMs = network.latencyMs;
    }

    report.result = OpenChannel(line.channel, options.port.c_str(), line.abortEvent);
    if (report.result != kResultOk) {
        report.portDetail = PortOpenDetail(options.port, line);
        if (report.latencyMs < 0) report.portDetail += "; the ports present: vx40 ports";
    } else {
        AdapterReport& adapter = report.adapter;
        if (report.latencyMs < 0) {
            adapter.description = DescribeAdapter(options.port);
            adapter.countersKnown = ChannelErrorCounters(line.channel, adapter.before);
            adapter.rs485Known = ChannelRs485State(line.channel, adapter.rs485);
            adapter.shown = adapter.countersKnown || adapter.rs485Known ||
                            !adapter.description.byIdName.empty() ||
                            !adapter.description.driver.empty();
        }
        report.result = Diagnose(options, context, dialog, status, report);
        if (adapter.countersKnown && !ChannelErrorCounters(line.channel, adapter.after))
            adapter.after = adapter.before;
    }
    CloseChannel(line.channel);

    status.BreakLine();
    Outcome failure;
    failure.result = report.result;
    failure.detail = report.portDetail;
    // The findings say what went wrong; the catalogue's text is for a port
    // that does not open and for Stop.
    if ((report.result == kErrPortOpen && !report.probed) || report.result == kErrAborted)
        PrintFailureLines(failure, status);
    if (options.json) {
        PrintJsonLine(DoctorJson(options, report));
    } else {
        for (const std::string& text : FindingLines(options, report))
            std::printf("%s\n", text.c_str());
        if (report.identified) PrintIdentityLines(report.identity);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return ExitCodeOf(report.result, false);
}
