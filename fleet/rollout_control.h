// How a front-end steers a rollout while it runs: stop starting devices (the
// writes under way finish and are verified), or abort the exchanges under
// way as well. Called from any thread.
#pragma once

#include <mutex>
#include <vector>

#include "platform/event.h"

class RolloutControl {
  public:
    // No further device is started.
    void Stop() {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    // No further device is started, and the exchanges under way end at
    // their next wait (-2109).
    void Abort() {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        aborted_ = true;
        for (Event* event : events_)
            event->Set();
    }
    bool Stopped() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return stopped_;
    }

    // For the engine: the command events of the lines while they run; an
    // abort sets them. Attached after an abort, they are set at once.
    void Attach(std::vector<Event*> events) {
        const std::lock_guard<std::mutex> lock(mutex_);
        events_ = std::move(events);
        if (aborted_)
            for (Event* event : events_)
                event->Set();
    }
    void Detach() {
        const std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Event*> events_;  // guarded by mutex_
    bool stopped_ = false;        // guarded by mutex_
    bool aborted_ = false;        // guarded by mutex_
};
