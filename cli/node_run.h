// Serves the nodes of the command line in turn on one line: the one node of
// -n, or every node of --nodes, each as a whole command of its own (the
// port opened and closed for it), then, for several nodes, a summary.
#pragma once

#include "cli/options.h"

class Event;
class InterruptWatch;
class StatusOutput;
struct LineState;

// Returns the exit code: that of the first node that failed, 0 when all
// succeeded.
int RunOnNodes(const CliOptions& options, LineState& line, Event& commandEvent,
               const InterruptWatch& interrupt, StatusOutput& status);
