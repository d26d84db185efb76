#include "fleet/rollout_run.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "dialog/command_context.h"
#include "dialog/control_ids.h"
#include "exchange/exchange.h"
#include "exchange/line_state.h"
#include "fleet/journal.h"
#include "fleet/rollout_control.h"
#include "fleet/rollout_plan.h"
#include "fleet/rollout_schedule.h"
#include "fleet/service_log.h"
#include "operations/activation.h"
#include "operations/device_identity.h"
#include "operations/module_writer.h"
#include "platform/event.h"
#include "protocol/message_catalogue.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// The dialog of one device, which hands the write's percentage to the
// listener.
class LineDialog : public FieldDialog {
  public:
    LineDialog(RolloutListener& listener, std::size_t line) : listener_(listener), line_(line) {}

  protected:
    void StatusChanged(const std::string& text, const std::string& percent) override {
        if (text == kStatusWriting) listener_.Writing(line_, std::atoi(percent.c_str()));
    }

  private:
    RolloutListener& listener_;
    std::size_t line_;
};

struct Shared {
    const RolloutPlan& plan;
    const RolloutSettings& settings;
    const Journal& journal;
    ServiceLog& log;
    RolloutListener& listener;
    RolloutControl& control;
    RolloutSchedule& schedule;
    std::mutex logMutex;
};

// One line: its own state, channel and command event, for the whole run.
struct LineWorker {
    std::size_t index = 0;
    std::unique_ptr<LineState> state;
    Event commandEvent;
    std::thread thread;
};

void Log(Shared& shared, ServiceEntry& entry, const RolloutDevice& device,
         SteadyClock::time_point steadyStart) {
    entry.port = device.port;
    entry.node = device.node;
    entry.took = SteadyClock::now() - steadyStart;
    const std::lock_guard<std::mutex> lock(shared.logMutex);
    shared.log.Append(entry);
}

void Fail(RolloutDevice& device, ResultCode result, std::string message = "") {
    device.action = RolloutAction::Failed;
    device.result = result;
    device.message = message.empty() ? std::string(MessageOf(result)) : std::move(message);
}

// Why a device that has not begun is not started.
std::string NotStarted(const Shared& shared) {
    return shared.control.Stopped() ? "not started: the run was stopped"
                                    : "not started: max-failures reached";
}

// What the journal says went wrong with the device's latest work.
std::string UnfinishedText(const JournalWork& work) {
    if (work.activation) return "the activation on " + work.time + " did not finish";
    const std::u8string name =
        std::filesystem::path(std::u8string(work.module.begin(), work.module.end()))
            .filename()
            .u8string();
    return "the write of " + std::string(name.begin(), name.end()) + " on " + work.time +
           " did not finish";
}

// An aborted write leaves the device holding part of a module, or a whole
// one that was never verified.
std::string AbortedText(int accepted, int records) {
    std::string text =
        "aborted after block " + std::to_string(accepted) + " of " + std::to_string(records);
    if (accepted == records) text += ", before the device was verified";
    return text + ": run the plan again";
}

// Identifies one device over the line's open channel and, as the plan and
// the journal say, writes it, verifies it and activates it.
void ServeDevice(Shared& shared, LineWorker& worker, RolloutDevice& device) {
    const RolloutPlan& plan = shared.plan;
    LineDialog dialog(shared.listener, worker.index);
    dialog.SetField(kIdPort, device.port);
    dialog.SetField(kIdNode, std::to_string(device.node));
    CommandContext context{dialog, *worker.state, worker.commandEvent};
    // A write's log entry covers what `write` would have done: from the
    // first identification on.
    const auto wallStart = std::chrono::system_clock::now();
    const auto steadyStart = SteadyClock::now();

    ResultCode result = IdentifyDevice(context, device.node);
    if (result == kErrNoDevice) {
        device.action = RolloutAction::Absent;
        device.result = result;
        device.message = std::string(MessageOf(result));
        return;
    }
    // Aborted before anything was written: the device is as it was.
    if (result == kErrAborted) {
        device.message = NotStarted(shared);
        return;
    }
    if (result != kResultOk) return Fail(device, result);
    device.identifiedBefore = true;
    device.before = dialog.CurrentIdentity();

    const PlanModule* module = plan.ModuleFor(device.before[0]);
    if (module == nullptr) {
        device.action = RolloutAction::OtherType;
        device.message = "no module for the type " + device.before[0];
        return;
    }
    // Unfinished work is done again in full, whatever version the device
    // reports.
    const JournalWork* last =
        shared.journal.Latest(device.port, device.node, device.before[0], device.before[1]);
    const std::string unfinished =
        last != nullptr && Unfinished(*last) ? UnfinishedText(*last) : "";
    if (unfinished.empty() && ReportsVersion(device.before[3], module->version)) {
        device.action = RolloutAction::Skipped;
        device.message = "reports " + module->version + " already";
        return;
    }
    if (shared.settings.dryRun) {
        device.action = RolloutAction::WouldWrite;
        device.message = unfinished.empty() ? module->file + " (" + module->version + ")"
                                            : unfinished + ": would be written again";
        return;
    }

    // The write as `write` does it after its identification, journalled:
    // the line that it has started goes to the log before its first block,
    // once it is sure to begin.
    ServiceEntry entry;
    entry.command = ServiceCommand::kWrite;
    entry.id = NewServiceEntryId();
    entry.moduleFile = module->path;
    entry.started = wallStart;
    bool began = false;
    context.beforeFirstBlock = [&]() -> ResultCode {
        if (!shared.schedule.MayWrite()) return kErrAborted;
        began = true;
        ServiceEntry start = entry;
        start.startLine = true;
        start.identifications = dialog.Identifications();
        Log(shared, start, device, steadyStart);
        return kResultOk;
    };
    result = WriteModuleBlocks(context, module->records.data(), device.node, module->recordCount);
    context.beforeFirstBlock = nullptr;
    if (!began) {
        device.message = NotStarted(shared);
        return;
    }
    entry.result = result;
    entry.blocks = context.recordsAccepted;
    entry.identifications = dialog.Identifications();
    Log(shared, entry, device, steadyStart);
    if (result == kErrAborted)
        return Fail(device, result, AbortedText(context.recordsAccepted, module->recordCount));
    if (result != kResultOk) return Fail(device, result);
    device.identifiedAfter = true;
    device.after = dialog.CurrentIdentity();
    // The device has no read-back: the version it reports is the proof.
    if (!ReportsVersion(device.after[3], module->version)) {
        return Fail(device, kErrNotVerified,
                    "device reports " + device.after[3].substr(0, device.after[3].find(' ')) +
                        ", the plan expects " + module->version);
    }
    device.action = RolloutAction::Written;
    device.message = unfinished.empty() ? module->file + " (" + module->version + ")"
                                        : unfinished + ": written again";
    if (!plan.activate) return;

    ServiceEntry activation;
    activation.command = ServiceCommand::kActivate;
    activation.started = std::chrono::system_clock::now();
    // The identity lets the next run put an activation that failed to
    // this device.
    activation.identifications = {device.after};
    const auto activateStart = SteadyClock::now();
    activation.result = result = ActivateApplication(context, device.node);
    Log(shared, activation, device, activateStart);
    if (result == kErrAborted)
        return Fail(device, result, "aborted during the activation: run the plan again");
    if (result != kResultOk) return Fail(device, result);
    device.message += ", activated";
}

void RunLine(Shared& shared, LineWorker& worker, std::vector<RolloutDevice>& devices,
             std::size_t first, std::size_t count) {
    // Every port is opened before the first byte goes out on any line: a
    // port that will not open stops the whole run, not the lines after the
    // first ones have been written.
    SerialChannel& channel = worker.state->channel;
    const std::string& port = devices[first].port;
    const ResultCode opened = OpenChannel(channel, port.c_str(), &worker.commandEvent);
    const bool ready = shared.schedule.PortsReady(opened == kResultOk);
    if (opened == kErrPortOpen) {
        RolloutDevice& device = devices[first];
        Fail(
            device, opened,
            channel.lastError[0] != '\0' ? std::string(channel.lastError) : port + ": cannot open");
        shared.listener.Finished(device);
    }
    for (std::size_t i = 0; ready && i < count; ++i) {
        RolloutDevice& device = devices[first + i];
        if (!shared.schedule.Begin(first + i)) {
            shared.schedule.End(first + i, device.action);
            continue;
        }
        shared.listener.Starting(worker.index, i, count, device.node);
        const auto started = SteadyClock::now();
        ServeDevice(shared, worker, device);
        device.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
        shared.listener.Finished(device);
        shared.schedule.End(first + i, device.action);
    }
    CloseChannel(channel);
    shared.listener.LineDone(worker.index);
}

}  // namespace

const char* ActionName(RolloutAction action) {
    switch (action) {
        case RolloutAction::NotServed:
            return "not-served";
        case RolloutAction::Absent:
            return "absent";
        case RolloutAction::OtherType:
            return "other-type";
        case RolloutAction::Skipped:
            return "skipped";
        case RolloutAction::WouldWrite:
            return "would-write";
        case RolloutAction::Written:
            return "written";
        case RolloutAction::Failed:
            return "failed";
    }
    return "";
}

std::vector<RolloutDevice> RunRollout(const RolloutPlan& plan, const RolloutSettings& settings,
                                      ServiceLog& log, RolloutListener& listener,
                                      RolloutControl& control) {
    std::vector<RolloutDevice> devices;
    std::vector<std::size_t> firsts;
    for (std::size_t line = 0; line < plan.lines.size(); ++line) {
        firsts.push_back(devices.size());
        for (const std::uint8_t node : plan.lines[line].nodes) {
            RolloutDevice device;
            device.line = line;
            device.port = plan.lines[line].port;
            device.node = node;
            devices.push_back(device);
        }
    }

    // The line states are large: one each, made once for the whole run.
    std::vector<std::unique_ptr<LineWorker>> workers;
    std::vector<Event*> events;
    for (std::size_t line = 0; line < plan.lines.size(); ++line) {
        auto worker = std::make_unique<LineWorker>();
        worker->index = line;
        worker->state.reset(new (std::nothrow) LineState());
        if (!worker->state || !worker->commandEvent.Valid()) {
            for (RolloutDevice& device : devices)
                Fail(device, kErrUnknown);
            return devices;
        }
        // Once aborted, a line sends nothing more.
        worker->state->abortBeforeSend = true;
        ChannelUseRs485(worker->state->channel, plan.lines[line].rs485);
        events.push_back(&worker->commandEvent);
        workers.push_back(std::move(worker));
    }
    control.Attach(events);

    Journal journal;
    if (!settings.journalPath.empty()) journal.Load(settings.journalPath);
    RolloutSchedule schedule(plan, control, settings.dryRun);
    Shared shared{plan, settings, journal, log, listener, control, schedule, {}};
    for (std::size_t line = 0; line < workers.size(); ++line) {
        LineWorker& worker = *workers[line];
        worker.thread = std::thread(RunLine, std::ref(shared), std::ref(worker), std::ref(devices),
                                    firsts[line], plan.lines[line].nodes.size());
    }
    for (auto& worker : workers)
        worker->thread.join();
    // The events end with this run.
    control.Detach();
    return devices;
}
