#include "cli/deadline_timer.h"

#include <chrono>

#include "platform/event.h"

DeadlineTimer::DeadlineTimer(Event& event, double seconds) {
    if (seconds <= 0) return;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    thread_ = std::thread([this, &event, deadline] {
        std::unique_lock lock(mutex_);
        if (cancelled_.wait_until(lock, deadline, [this] { return cancel_; })) return;
        fired_ = true;
        event.Set();
    });
}

DeadlineTimer::~DeadlineTimer() {
    {
        std::lock_guard lock(mutex_);
        cancel_ = true;
    }
    cancelled_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool DeadlineTimer::Fired() const {
    std::lock_guard lock(mutex_);
    return fired_;
}
