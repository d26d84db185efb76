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
    return press <= 2;
}

void InterruptPresses::Defer(std::function<void()> firstPress, std::function<void()> secondPress) {
    const std::lock_guard<std::mutex> lock(mutex_);
    deferring_ = true;
    firstPress_ = std::move(firstPress);
    secondPress_ = std::move(secondPress);
}
