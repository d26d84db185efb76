// Who may do what, and when, in a rollout: every port opened before any
// traffic; the canary devices one at a time in plan order, then every line
// at once; nobody once the run is stopping (max-failures reached, or the
// front-end stopped it). Shared by the lines' threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "fleet/rollout_run.h"

struct RolloutPlan;
class RolloutControl;

class RolloutSchedule {
  public:
    RolloutSchedule(const RolloutPlan& plan, const RolloutControl& control, bool dryRun);

    // A line's port is open (`opened`) or could not be opened. Waits until
    // every line has said so; true when every port is open.
    bool PortsReady(bool opened);

    // Waits for the turn of the device at plan position `index`; false when
    // it is not to be started at all.
    bool Begin(std::size_t index);

    // Whether a device identified since Begin may get its first block: not
    // once the run is stopping, which a device still being identified
    // learns here.
    bool MayWrite();

    // The device at `index` ended (or was passed over) with `action`.
    void End(std::size_t index, RolloutAction action);

  private:
    bool Stopping() const;  // with the mutex held

    const RolloutPlan& plan_;
    const RolloutControl& control_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t linesReported_ = 0;
    bool portFailed_ = false;
    bool parallel_;
    std::size_t next_ = 0;
    int failures_ = 0;
    int written_ = 0;
};
