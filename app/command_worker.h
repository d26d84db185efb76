// The worker thread and its one-command mailbox.
//
// Button presses are not executed on the window thread: the dialog stores the
// command in the mailbox and sets the command event; the worker wakes, takes
// the command, disables the action buttons, runs it, shows a failure in the
// error box and enables the buttons again. The same event tells a running
// exchange to give up at its next wait for a reply, so Stop and Exit
// interrupt whatever is talking to the device.
//
// The mailbox keeps one command; a newer press overwrites one not yet taken.
// Storing and signalling, and taking and resetting, each happen under one
// lock, so a press that arrives while the worker takes the previous one is
// never lost between the worker's copy and its reset.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "dialog/command_context.h"
#include "platform/event.h"
#include "protocol/result_code.h"

struct CommandMessage {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;  // control id in the low 16 bits
    std::intptr_t lParam = 0;
};

class CommandMailbox {
  public:
    // Window thread: store the command and signal the event.
    void Post(const CommandMessage& command, Event& event);
    // Worker: copy the command and reset the event.
    CommandMessage Take(Event& event);

  private:
    std::mutex mutex_;
    CommandMessage slot_;
};

// The six action buttons, in the order they are always disabled and enabled.
inline constexpr int kActionButtons[] = {1023, 1015, 1014, 1022, 1021, 1028};
void DisableActions(Dialog& dialog);
void EnableActions(Dialog& dialog);

// Runs the command of control `id` (the worker's dispatch table); 0 for Stop
// and for any id without a command.
ResultCode RunCommand(CommandContext& context, int id);

// Everything the window thread and the worker share.
struct WorkerSession {
    explicit WorkerSession(CommandContext& contextIn) : context(contextIn) {}
    ~WorkerSession();

    CommandContext& context;  // its commandEvent is the command event
    CommandMailbox mailbox;
    bool eventOpen = false;   // the command event exists and is not yet closed
    bool workerOpen = false;  // the worker was started and not yet closed
    // Set by the worker thread as its last act. The thread holds a share of
    // it, since Exit lets the thread finish on its own after this is set.
    std::shared_ptr<Event> workerEnded = std::make_shared<Event>();
    std::thread thread;
};

// The worker's procedure: 0 when it ended through Exit, -1 when waiting on
// the command event failed.
int CommandWorker(WorkerSession& session);

// Dialog initialisation: takes the command event into use and starts the
// worker. False when either could not be had; the caller then disables the
// actions and shows kErrUnknown.
bool StartWorker(WorkerSession& session);

// Window thread, WM_COMMAND: forwards the action buttons and Stop, runs the
// Exit protocol for id 2, ignores the rest. True when the dialog is to end.
bool RouteCommand(WorkerSession& session, const CommandMessage& command);
