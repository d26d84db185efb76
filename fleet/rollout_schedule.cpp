#include "fleet/rollout_schedule.h"

#include "fleet/rollout_control.h"
#include "fleet/rollout_plan.h"

RolloutSchedule::RolloutSchedule(const RolloutPlan& plan, const RolloutControl& control,
                                 bool dryRun)
    : plan_(plan), control_(control), parallel_(dryRun || plan.canary == 0) {}

bool RolloutSchedule::PortsReady(bool opened) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++linesReported_;
    portFailed_ = portFailed_ || !opened;
    changed_.notify_all();
    changed_.wait(lock, [&] { return linesReported_ == plan_.lines.size(); });
    return !portFailed_;
}

bool RolloutSchedule::Begin(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return Stopping() || parallel_ || next_ == index; });
    return !Stopping();
}

bool RolloutSchedule::MayWrite() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return !Stopping();
}

void RolloutSchedule::End(std::size_t index, RolloutAction action) {
    const std::lock_guard<std::mutex> lock(mutex_);
    // An absent device is no failure: a node powered off must not stop a
    // plant's rollout.
    if (action == RolloutAction::Failed) ++failures_;
    if (action == RolloutAction::Written) ++written_;
    if (!parallel_) {
        next_ = index + 1;
        parallel_ = written_ >= plan_.canary;
    }
    changed_.notify_all();
}

bool RolloutSchedule::Stopping() const {
    return failures_ >= plan_.maxFailures || control_.Stopped();
}
