// Runs a checked rollout plan: every planned device identified and, when its
// type has a module and it does not run that module's version yet, written,
// identified again and verified by the version it then reports.
//
// Lines are independent ports, so each has a thread, a channel, a line state
// and a command event of its own and serves its nodes one after another.
// The canary devices go first, one at a time in plan order; then all lines
// run at once. Once max-failures devices have failed, or once the front-end
// stops the run (RolloutControl), no further device is started; a device being written is finished,
// verified and (when the plan says so) activated. An abort sets every
// line's command event, which ends the exchanges at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dialog/field_dialog.h"
#include "protocol/result_code.h"

struct RolloutPlan;
class RolloutControl;
class ServiceLog;

enum class RolloutAction { NotServed, Absent, OtherType, Skipped, WouldWrite, Written, Failed };
inline constexpr std::size_t kRolloutActionCount = 7;

// "not-served", "absent", "other-type", "skipped", "would-write", "written",
// "failed".
const char* ActionName(RolloutAction action);

// A planned device and what became of it.
struct RolloutDevice {
    std::size_t line = 0;  // index into the plan's lines
    std::string port;
    std::uint8_t node = 0;
    RolloutAction action = RolloutAction::NotServed;
    ResultCode result = kResultOk;  // of the failing step; negative for every failed or absent one
    std::string message;
    // The identity fields (in the order of Outcome::identity) before the
    // write, and after it; `identified...` false when there was none.
    bool identifiedBefore = false;
    bool identifiedAfter = false;
    IdentityFields before;
    IdentityFields after;
    double seconds = 0;
};

// What the run tells while it goes; called from the line threads, one call
// at a time.
class RolloutListener {
  public:
    virtual ~RolloutListener() = default;
    // The device `index` (0-based) of the line's `count` is started.
    virtual void Starting(std::size_t line, std::size_t index, std::size_t count,
                          std::uint8_t node) = 0;
    // The module write of the line's current device is at `percent`.
    virtual void Writing(std::size_t line, int percent) = 0;
    virtual void Finished(const RolloutDevice& device) = 0;
    // The line serves no further device.
    virtual void LineDone(std::size_t line) = 0;
};

struct RolloutSettings {
    bool dryRun = false;  // identify only: nothing written, activated or logged
    // The service log to read unfinished work from; empty when there is
    // none (the run cannot tell work cut short from work done).
    std::string journalPath;
};

// Every planned device in plan order (the lines in order, each line's nodes
// in order), with what became of it. Each write and activation is logged in
// `log` as the write and activate commands log theirs.
std::vector<RolloutDevice> RunRollout(const RolloutPlan& plan, const RolloutSettings& settings,
                                      ServiceLog& log, RolloutListener& listener,
                                      RolloutControl& control);
