// A manual-reset event: once set it stays set until reset. The dialog sets the
// command event for every button press; the worker waits on it and resets it;
// the serial channel only tests it, without waiting, to notice Stop and Exit.
#pragma once

#include <memory>

class Event {
  public:
    Event();  // created non-signalled
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // False when the system could not create the event.
    bool Valid() const;
    void Set();
    void Reset();
    // Tests the state without waiting.
    bool IsSet() const;
    // Waits until the event is set or `timeoutMs` has passed (negative: no
    // limit). True when the event is set.
    bool Wait(int timeoutMs) const;
    // The system's own handle (HANDLE on Windows), for calls that need it.
    void* NativeHandle() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};
