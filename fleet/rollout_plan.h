// The plan of `vx40 rollout`: which module goes into which device type, on
// which lines and nodes, and the run's settings. The whole plan is checked
// before anything goes on any line: a typo or a wrong file must cost no
// traffic, let alone a device written with the wrong module.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/result_code.h"
#include "transport/rs485_mode.h"

struct PlanModule {
    std::string type;     // the device type as the device reports it
    std::string file;     // as the plan writes it, for messages and the report
    std::string path;     // the file to read: relative to the plan's folder
    std::string version;  // the application version expected after the write: "01.06"
    std::string sha256;   // as the plan gives it (lowercase); empty when not given
    int planLine = 0;     // where the [[module]] table starts
    // The records, read once while the plan is checked; the module file
    // is not read again for each device.
    std::vector<std::uint8_t> records;
    int recordCount = 0;
};

struct PlanLine {
    std::string port;
    std::vector<std::uint8_t> nodes;  // in the order the plan gives them
    Rs485Mode rs485;                  // rs485 = true: the kernel's RS-485 mode
    int planLine = 0;
};

struct RolloutPlan {
    bool activate = false;
    int maxFailures = 1;
    int canary = 1;
    std::vector<PlanModule> modules;
    std::vector<PlanLine> lines;

    // The module for a device type; nullptr when the plan has none.
    const PlanModule* ModuleFor(std::string_view type) const;
};

// What is wrong with a plan: one message naming the plan's file and line,
// and its code: kErrBadPlan for the plan itself, the file's failure
// (kErrFileOpen, kErrFileRead, kErrNotModule) for a module file.
struct PlanProblem {
    ResultCode result = kErrBadPlan;
    std::string message;
};

// Reads the plan's text: TOML, known keys only, values of the right kind and
// form, no port or type twice. `name` is the plan's file name for messages.
// Does not touch the module files.
bool ParsePlanText(std::string_view text, const std::string& name, RolloutPlan& plan,
                   PlanProblem& problem);

// Reads every module file (a path relative to `folder`, the plan's own
// folder), tests it as `write` does and against its sha256 when given, and
// keeps its records in the plan.
bool LoadPlanModules(const std::string& name, const std::string& folder, RolloutPlan& plan,
                     PlanProblem& problem);

// The plan file at `path` (UTF-8) read, parsed and its modules loaded.
bool ReadRolloutPlan(const std::string& path, RolloutPlan& plan, PlanProblem& problem);

// True for a version as the dialog shows it: two hex digits, a dot, two hex
// digits, uppercase ("01.06", "1A.0F").
bool IsVersionText(std::string_view text);

// Whether an application version field as identification fills it ("01.06
// (25.03.2016)", or the word for an absent application) shows `version`.
bool ReportsVersion(std::string_view appVersionField, std::string_view version);
