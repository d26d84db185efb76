#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/event.h"

struct Event::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool set = false;
};

Event::Event() : state_(std::make_unique<State>()) {}
Event::~Event() = default;

bool Event::Valid() const {
    return state_ != nullptr;
}

void Event::Set() {
    {
        std::lock_guard lock(state_->mutex);
        state_->set = true;
    }
    state_->changed.notify_all();
}

void Event::Reset() {
    std::lock_guard lock(state_->mutex);
    state_->set = false;
}

bool Event::IsSet() const {
    std::lock_guard lock(state_->mutex);
    return state_->set;
}

bool Event::Wait(int timeoutMs) const {
    std::unique_lock lock(state_->mutex);
    if (timeoutMs < 0) {
        state_->changed.wait(lock, [this] { return state_->set; });
        return true;
    }
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return state_->set; });
}

void* Event::NativeHandle() const {
    return nullptr;
}
