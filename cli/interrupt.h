// Ctrl-C as the Stop button: while a watch exists, an interrupt sets the
// command event, so the running exchange ends with -2109 at its next wait
// and the command unwinds and closes the port. A second interrupt ends the
// program at once with 130, for a command that does not unwind.
//
// A command that must not leave a device half-written (the rollout) defers
// the Stop instead: the first interrupt is only counted, so that the command
// starts nothing new and lets what runs finish; the second sets the events
// it named, one a line; only a third ends the program at once.
//
// The events are set from an ordinary thread, never from a signal handler.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class Event;

// What each interrupt does; the platform parts call Press for every one.
class InterruptPresses {
  public:
    explicit InterruptPresses(Event& commandEvent) : commandEvent_(commandEvent) {}
    // False when the program is to end at once.
    bool Press();
    void Defer(std::vector<Event*> events, std::function<void()> firstPress);
    int Count() const { return count_; }

  private:
    Event& commandEvent_;
    std::mutex mutex_;
    std::vector<Event*> deferred_;      // guarded by mutex_
    std::function<void()> firstPress_;  // guarded by mutex_
    bool deferring_ = false;            // guarded by mutex_
    std::atomic<int> count_{0};
};

class InterruptWatch {
  public:
    // Create it before any other thread is started.
    explicit InterruptWatch(Event& commandEvent);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool Interrupted() const;
    // Interrupts so far.
    int Presses() const;
    // From now on the first interrupt sets no event but calls `firstPress`
    // (on the watch's own thread; may be empty), and the second sets
    // `events` (see above). Called again with nothing, it lets go of them
    // before they end.
    void Defer(std::vector<Event*> events, std::function<void()> firstPress);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

inline constexpr int kInterruptedExitCode = 130;
