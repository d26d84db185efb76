#include <windows.h>

#include <atomic>

#include "cli/interrupt.h"
#include "platform/event.h"

// The console calls the handler on a thread of its own, so setting the event
// there is an ordinary call. The handler has no context argument; the one
// watch of the program is reached through this pointer.
struct InterruptWatch::State {
    InterruptPresses presses;

    explicit State(Event& commandEvent) : presses(commandEvent) {}
};

namespace {

std::atomic<InterruptWatch::State*> g_watch{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    InterruptWatch::State* state = g_watch.load();
    if (state == nullptr) return FALSE;
    if (!state->presses.Press()) ExitProcess(kInterruptedExitCode);
    return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch(Event& commandEvent) : state_(new State(commandEvent)) {
    g_watch = state_.get();
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_watch = nullptr;
}

bool InterruptWatch::Interrupted() const {
    return state_->presses.Count() > 0;
}

int InterruptWatch::Presses() const {
    return state_->presses.Count();
}

void InterruptWatch::Defer(std::function<void()> firstPress, std::function<void()> secondPress) {
    state_->presses.Defer(std::move(firstPress), std::move(secondPress));
}
