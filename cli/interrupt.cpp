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
    if (press == 2)
        for (Event* event : deferred_)
            event->Set();
    return press <= 2;
}

void InterruptPresses::Defer(std::vector<Event*> events, std::function<void()> firstPress) {
    const std::lock_guard<std::mutex> lock(mutex_);
    deferring_ = true;
    deferred_ = std::move(events);
    firstPress_ = std::move(firstPress);
}
