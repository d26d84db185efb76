// The rollout plan reader on arbitrary text: a plan is written by hand, so
// any text must end in a plan or in one message naming the plan's line,
// never in a crash, a hang or a plan that breaks the reader's own promises.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "fleet/rollout_plan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RolloutPlan plan;
    PlanProblem problem;
    if (!ParsePlanText(text, "plan.toml", plan, problem)) {
        // One message that names the plan and a line; the plan's exit code.
        if (problem.result != kErrBadPlan || problem.message.rfind("plan.toml:", 0) != 0)
            std::abort();
        return 0;
    }
    if (plan.modules.empty() || plan.lines.empty() || plan.maxFailures < 1 || plan.canary < 0)
        std::abort();
    std::set<std::string> seen;
    for (const PlanModule& module : plan.modules)
        if (!IsVersionText(module.version) || module.file.empty() ||
            !seen.insert(module.type).second)
            std::abort();
    seen.clear();
    for (const PlanLine& line : plan.lines)
        if (line.port.empty() || line.nodes.empty() || !seen.insert(line.port).second) std::abort();
    return 0;
}
