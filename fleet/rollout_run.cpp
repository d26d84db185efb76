#include "fleet/rollout_run.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "dialog/command_context.h"
#include "dialog/control_ids.h"
#include "exchange/exchange.h"
#include "exchange/line_state.h"
#include "fleet/rollout_control.h"
#include "fleet/rollout_plan.h"
#include "fleet/service_log.h"
#include "operations/activation.h"
#include "operations/device_identity.h"
#include "operations/dialog_inputs.h"
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

// Who may start a device: the canary devices one at a time in plan order,
// then every line at once; nobody once the run is stopping.
class Schedule {
  public:
    Schedule(const RolloutPlan& plan, const RolloutControl& control, bool dryRun)
        : plan_(plan), control_(control), parallel_(dryRun || plan.canary == 0) {}

    // Waits for the turn of the device at plan position `index`; false when
    // it is not to be started at all.
    bool Begin(std::size_t index) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return Stopping() || parallel_ || next_ == index; });
        return !Stopping();
    }

    // The device at `index` ended (or was passed over) with `action`.
    void End(std::size_t index, RolloutAction action) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (action == RolloutAction::Failed) ++failures_;
        if (action == RolloutAction::Written) ++written_;
        if (!parallel_) {
            next_ = index + 1;
            parallel_ = written_ >= plan_.canary;
        }
        changed_.notify_all();
    }

  private:
    bool Stopping() const { return failures_ >= plan_.maxFailures || control_.Stopped(); }

    const RolloutPlan& plan_;
    const RolloutControl& control_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool parallel_;
    std::size_t next_ = 0;
    int failures_ = 0;
    int written_ = 0;
};

struct Shared {
    const RolloutPlan& plan;
    const RolloutSettings& settings;
    ServiceLog& log;
    RolloutListener& listener;
    Schedule& schedule;
    std::mutex logMutex;
};

// One line: its own state, channel and command event, for the whole run.
struct LineWorker {
    std::size_t index = 0;
    std::unique_ptr<LineState> state;
    Event commandEvent;
    bool portOpen = false;
    bool portFailed = false;
    std::thread thread;
};

void Log(Shared& shared, ServiceCommand command, const RolloutDevice& device,
         const std::string& moduleFile, ResultCode result, int blocks,
         std::chrono::system_clock::time_point started, SteadyClock::time_point steadyStart,
         const FieldDialog& dialog) {
    ServiceEntry entry;
    entry.command = command;
    entry.port = device.port;
    entry.node = device.node;
    entry.moduleFile = moduleFile;
    entry.result = result;
    entry.blocks = blocks;
    entry.started = started;
    entry.took = SteadyClock::now() - steadyStart;
    if (command != ServiceCommand::kActivate) entry.identifications = dialog.Identifications();
    const std::lock_guard<std::mutex> lock(shared.logMutex);
    shared.log.Append(entry);
}

void Fail(RolloutDevice& device, ResultCode result) {
    device.action = RolloutAction::Failed;
    device.result = result;
    device.message = std::string(MessageOf(result));
}

// Steps 1 to 4 for one device, over the line's open channel.
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

    if (!worker.portOpen) {
        std::uint8_t node = 0;
        const ResultCode opened = OpenPortFromDialog(context, node);
        if (opened != kResultOk) {
            worker.portFailed = true;
            Fail(device, opened);
            const char* reason = worker.state->channel.lastError;
            device.message = reason[0] != '\0' ? reason : device.port + ": cannot open";
            return;
        }
        worker.portOpen = true;
    }

    ResultCode result = IdentifyDevice(context, device.node);
    if (result == kErrNoDevice) {
        device.action = RolloutAction::Absent;
        device.result = result;
        device.message = std::string(MessageOf(result));
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
    if (ReportsVersion(device.before[3], module->version)) {
        device.action = RolloutAction::Skipped;
        device.message = "reports " + module->version + " already";
        return;
    }
    if (shared.settings.dryRun) {
        device.action = RolloutAction::WouldWrite;
        device.message = module->file + " (" + module->version + ")";
        return;
    }

    // The write as `write` does it after its identification, and its log
    // entry; the second identification is part of it.
    result = WriteModuleBlocks(context, module->records.data(), device.node, module->recordCount);
    Log(shared, ServiceCommand::kWrite, device, module->path, result, context.recordsAccepted,
        wallStart, steadyStart, dialog);
    if (result != kResultOk) return Fail(device, result);
    device.identifiedAfter = true;
    device.after = dialog.CurrentIdentity();
    if (!ReportsVersion(device.after[3], module->version)) {
        device.action = RolloutAction::Failed;
        device.result = kResultOk;
        device.message = "device reports " + device.after[3].substr(0, device.after[3].find(' ')) +
                         ", the plan expects " + module->version;
        return;
    }
    device.action = RolloutAction::Written;
    device.message = module->file + " (" + module->version + ")";
    if (!plan.activate) return;

    const auto activateWall = std::chrono::system_clock::now();
    const auto activateStart = SteadyClock::now();
    result = ActivateApplication(context, device.node);
    Log(shared, ServiceCommand::kActivate, device, "", result, -1, activateWall, activateStart,
        dialog);
    if (result != kResultOk) return Fail(device, result);
    device.message += ", activated";
}

void RunLine(Shared& shared, LineWorker& worker, std::vector<RolloutDevice>& devices,
             std::size_t first, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        RolloutDevice& device = devices[first + i];
        // A line whose port would not open serves nothing more; its devices
        // stay not-served, and the canary passes over them.
        if (worker.portFailed || !shared.schedule.Begin(first + i)) {
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
    if (worker.portOpen) CloseChannel(worker.state->channel);
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
        events.push_back(&worker->commandEvent);
        workers.push_back(std::move(worker));
    }
    control.Attach(events);

    Schedule schedule(plan, control, settings.dryRun);
    Shared shared{plan, settings, log, listener, schedule, {}};
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
