#include "cli/interrupt.h"

#include "platform/event.h"

bool InterruptPresses::Press() {
    const int press = ++count_;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!deferring_) {
        if (press > 1) return false;
        commandEvent_.Set();
        return true;
    }
    if (press == 1 && firstPress_) firstPress_();
    if (press == 2 && secondPress_) secondPress_();
    // Further presses change nothing: what was aborted unwinds within a
    // reply wait, and the report and the log are still to be written.
    return true;
}

void InterruptPresses::Defer(std::function<void()> firstPress, std::function<void()> secondPress) {
    const std::lock_guard<std::mutex> lock(mutex_);
    deferring_ = true;
    firstPress_ = std::move(firstPress);
    secondPress_ = std::move(secondPress);
}
