// Ctrl-C as the Stop button: while a watch exists, an interrupt sets the
// command event, so the running exchange ends with -2109 at its next wait
// and the command unwinds and closes the port. A second interrupt ends the
// program at once with 130, for a command that does not unwind.
//
// A command that must not leave a device half-written (the rollout) defers
// the Stop instead: the first interrupt calls what the command gave for it,
// so that it starts nothing new and lets what runs finish; the second calls
// what it gave for that (abort what runs); further ones change nothing, so
// that its report and log are written.
//
// Both are called from an ordinary thread, never from a signal handler.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class Event;

// What each interrupt does; the platform parts call Press for every one.
class InterruptPresses {
  public:
    explicit InterruptPresses(Event& commandEvent) : commandEvent_(commandEvent) {}
    // False when the program is to end at once.
    bool Press();
    void Defer(std::function<void()> firstPress, std::function<void()> secondPress);
    int Count() const { return count_; }

  private:
    Event& commandEvent_;
    std::mutex mutex_;
    std::function<void()> firstPress_;   // guarded by mutex_
    std::function<void()> secondPress_;  // guarded by mutex_
    bool deferring_ = false;             // guarded by mutex_
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
    // and the second `secondPress` (on the watch's own thread; either may be
    // empty). Called again with nothing, it lets go of them before what they
    // reach ends.
    void Defer(std::function<void()> firstPress, std::function<void()> secondPress);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

inline constexpr int kInterruptedExitCode = 130;
