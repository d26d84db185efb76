// Ctrl-C as the Stop button: while a watch exists, an interrupt sets the
// command event, so the running exchange ends with -2109 at its next wait
// and the command unwinds and closes the port. A second interrupt ends the
// program at once with 130, for a command that does not unwind.
//
// The event is set from an ordinary thread, never from a signal handler.
#pragma once

#include <memory>

class Event;

class InterruptWatch {
  public:
    // Create it before any other thread is started.
    explicit InterruptWatch(Event& commandEvent);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool Interrupted() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

inline constexpr int kInterruptedExitCode = 130;
