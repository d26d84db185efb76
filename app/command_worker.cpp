#include "app/command_worker.h"

#include <system_error>

#include "dialog/control_ids.h"
#include "dialog/file_dialogs.h"
#include "dialog/status.h"
#include "operations/activation.h"
#include "operations/backup.h"
#include "operations/device_identity.h"
#include "operations/module_writer.h"

namespace {

constexpr int kExitWaitMs = 100;

int ControlId(const CommandMessage& command) {
    return static_cast<int>(command.wParam & 0xFFFF);
}

void Forward(WorkerSession& session, const CommandMessage& command) {
    if (!session.workerOpen || !session.eventOpen) return;
    session.mailbox.Post(command, session.context.commandEvent);
}

// The window thread's half of Exit. The first press hands Exit to the worker
// (which also aborts a running exchange); the worker posts it back and ends,
// and the second arrival finds it ended and closes everything.
bool Exit(WorkerSession& session, const CommandMessage& command) {
    if (session.workerOpen && session.eventOpen) {
        if (!session.workerEnded->Wait(kExitWaitMs)) {
            Forward(session, command);
            return false;
        }
        // The worker has done all it does. What is left is the thread's own
        // ending, which on Windows runs the DLL detach notifications under
        // the loader lock and so has no bound: the window thread does not
        // wait for it, but lets the thread go, as closing its handle would.
        if (session.thread.joinable()) session.thread.detach();
        session.workerOpen = false;
    }
    session.eventOpen = false;
    CloseChannel(session.context.line.channel);
    return true;
}

}  // namespace

void CommandMailbox::Post(const CommandMessage& command, Event& event) {
    std::lock_guard lock(mutex_);
    slot_ = command;
    event.Set();
}

CommandMessage CommandMailbox::Take(Event& event) {
    std::lock_guard lock(mutex_);
    const CommandMessage command = slot_;
    event.Reset();
    return command;
}

void DisableActions(Dialog& dialog) {
    for (int id : kActionButtons)
        dialog.EnableItem(id, false);
}

void EnableActions(Dialog& dialog) {
    for (int id : kActionButtons)
        dialog.EnableItem(id, true);
}

ResultCode RunCommand(CommandContext& context, int id) {
    switch (id) {
        case kIdSearch:
            return SearchDeviceCommand(context);
        case kIdWriteModule:
            return WriteModuleCommand(context);
        case kIdBrowse:
            return BrowseModule(context);
        case kIdSaveConfiguration:
            return SaveBackupCommand(context, BackupKind::Configuration);
        case kIdSaveCalibration:
            return SaveBackupCommand(context, BackupKind::Calibration);
        case kIdActivate:
            return ActivateApplicationCommand(context);
        default:
            return kResultOk;  // Stop, and anything else, does nothing
    }
}

WorkerSession::~WorkerSession() {
    if (thread.joinable()) {
        // Only reached when the dialog ended without the Exit protocol (a
        // test tearing down): hand the worker Exit and wait for it.
        mailbox.Post({kWmCommand, static_cast<std::uintptr_t>(kIdExit), 0}, context.commandEvent);
        thread.join();
    }
}

int CommandWorker(WorkerSession& session) {
    CommandContext& context = session.context;
    for (;;) {
        if (!context.commandEvent.Wait(-1)) return -1;
        const CommandMessage command = session.mailbox.Take(context.commandEvent);
        DisableActions(context.dialog);
        const int id = ControlId(command);
        if (id == kIdExit) {
            // Posted, not sent: the window thread may be waiting for us.
            context.dialog.PostCommand(command.message, command.wParam, command.lParam);
            return 0;
        }
        const ResultCode result = RunCommand(context, id);
        if (result != kResultOk) ShowError(context.dialog, result);
        EnableActions(context.dialog);
    }
}

bool StartWorker(WorkerSession& session) {
    session.eventOpen = session.context.commandEvent.Valid();
    if (!session.eventOpen) return false;
    try {
        // After setting `ended` the thread touches nothing of the session,
        // which may be gone by the time it finishes.
        session.thread = std::thread([&session, ended = session.workerEnded] {
            CommandWorker(session);
            ended->Set();
        });
    } catch (const std::system_error&) {
        return false;  // no thread could be had
    }
    session.workerOpen = true;
    return true;
}

bool RouteCommand(WorkerSession& session, const CommandMessage& command) {
    switch (ControlId(command)) {
        case kIdExit:
            return Exit(session, command);
        case kIdBrowse:
        case kIdWriteModule:
        case kIdSaveCalibration:
        case kIdSaveConfiguration:
        case kIdSearch:
        case kIdStop:
        case kIdActivate:
            Forward(session, command);
            return false;
        default:
            return false;
    }
}
