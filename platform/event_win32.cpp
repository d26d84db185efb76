// The event as a Win32 manual-reset event object, so that its handle can be
// passed to the system's own waits where that is needed.
#include <windows.h>

#include <new>

#include "platform/event.h"

struct Event::State {
    HANDLE handle = nullptr;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
};

Event::Event() : state_(new (std::nothrow) State) {
    if (state_ != nullptr) {
        // Manual reset, not signalled, unnamed.
        state_->handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
}

Event::~Event() = default;

bool Event::Valid() const {
    return state_ != nullptr && state_->handle != nullptr;
}

void Event::Set() {
    if (Valid()) {
        SetEvent(state_->handle);
    }
}

void Event::Reset() {
    if (Valid()) {
        ResetEvent(state_->handle);
    }
}

bool Event::IsSet() const {
    return Valid() && WaitForSingleObject(state_->handle, 0) == WAIT_OBJECT_0;
}

bool Event::Wait(int timeoutMs) const {
    if (!Valid()) {
        return false;
    }
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(state_->handle, limit) == WAIT_OBJECT_0;
}

void* Event::NativeHandle() const {
    return Valid() ? state_->handle : nullptr;
}
