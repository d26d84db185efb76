// Sets an event once a time has passed, unless cancelled first (by its
// destructor). Used for `info --timeout`: the event is the command event, so
// the search ends as it would on Stop.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

class Event;

class DeadlineTimer {
  public:
    // seconds <= 0: never fires.
    DeadlineTimer(Event& event, double seconds);
    ~DeadlineTimer();
    DeadlineTimer(const DeadlineTimer&) = delete;
    DeadlineTimer& operator=(const DeadlineTimer&) = delete;

    bool Fired() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cancelled_;
    bool cancel_ = false;
    bool fired_ = false;
    std::thread thread_;
};
