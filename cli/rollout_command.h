// vx40 rollout PLAN: the plan checked, run on its lines, and reported.
#pragma once

struct CliOptions;
class InterruptWatch;

// Returns the exit code. The lines' status goes to stderr, redrawn in place
// when `terminal`, or as plain lines.
int RunRolloutCommand(const CliOptions& options, InterruptWatch& interrupt, bool terminal);
