// Running a call that the system gives no bound of its own (name resolution)
// on a thread of its own, so that the caller can give up on it after a bound
// or at Stop. The job is shared with that thread: when the caller gives up,
// the thread still finishes the call, and whoever lets go of the job last
// releases it with whatever the call left in it.
#pragma once

#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/event.h"

enum class BoundedOutcome { kDone, kTimedOut, kAborted, kNoThread };

// `Job` has `void Run()` and an `Event done` that this sets after Run().
template <class Job>
BoundedOutcome RunBounded(const std::shared_ptr<Job>& job, int boundMs, const Event* abort) {
    try {
        std::thread([job] {
            job->Run();
            job->done.Set();
        }).detach();
    } catch (const std::system_error&) {
        return BoundedOutcome::kNoThread;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    constexpr int kSliceMs = 10;
    for (;;) {
        if (job->done.Wait(kSliceMs)) return BoundedOutcome::kDone;
        if (abort != nullptr && abort->IsSet()) return BoundedOutcome::kAborted;
        if (std::chrono::steady_clock::now() >= deadline) return BoundedOutcome::kTimedOut;
    }
}
