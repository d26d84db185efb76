// vx40 doctor: why no device answers. Opens the port, names the adapter,
// probes the node and listens long, says what came back and what to try,
// and on a silent or echoing line asks every node once quickly.
#pragma once

class Event;
class StatusOutput;
struct CliOptions;
struct LineState;

// Returns the exit code: 0 answered, 6 refused, 5 any other verdict, 4 the
// port cannot be opened or stopped working during the probe, 130 interrupted.
int RunDoctor(const CliOptions& options, LineState& line, Event& commandEvent,
              StatusOutput& status);
