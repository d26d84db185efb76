#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "cli/interrupt.h"
#include "platform/event.h"
#include "transport/serial_channel.h"

// SIGINT and SIGTERM are blocked in every thread (threads inherit the mask
// of the thread that creates them, hence "before any other thread") and
// taken by sigwait on a thread of their own, where setting the event is an
// ordinary call.
struct InterruptWatch::State {
    InterruptPresses presses;
    sigset_t signals{};
    std::atomic<bool> stopping{false};
    std::thread waiter;

    explicit State(Event& commandEvent) : presses(commandEvent) {}

    void Wait() {
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) != 0) continue;
            if (stopping) return;
            if (presses.Press()) continue;
            // The kernel keeps a UART's RS-485 mode past the process.
            ChannelRestoreAtExit();
            std::_Exit(kInterruptedExitCode);
        }
    }
};

InterruptWatch::InterruptWatch(Event& commandEvent) : state_(new State(commandEvent)) {
    sigemptyset(&state_->signals);
    sigaddset(&state_->signals, SIGINT);
    sigaddset(&state_->signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &state_->signals, nullptr);
    state_->waiter = std::thread([state = state_.get()] { state->Wait(); });
}

InterruptWatch::~InterruptWatch() {
    // The signals stay blocked: one arriving from now on is left pending and
    // the program ends with the exit code it has chosen.
    state_->stopping = true;
    pthread_kill(state_->waiter.native_handle(), SIGTERM);
    state_->waiter.join();
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
