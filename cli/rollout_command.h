// vx40 rollout PLAN: the plan checked, run on its lines, and reported.
#pragma once

struct CliOptions;
class InterruptWatch;
class StatusOutput;

// Returns the exit code. `status` is the program's status line, used for
// the service log's warnings; the lines' own status goes to stderr when
// `terminal` (redrawn in place) or as plain lines.
int RunRolloutCommand(const CliOptions& options, InterruptWatch& interrupt, StatusOutput& status,
                      bool terminal);
