// vx40 scan: which nodes of the line answer, and the identity of each
// device that does, as rows printed as the devices are found or as one JSON
// object in node order at the end.
#pragma once

class Event;
class StatusOutput;
struct CliOptions;
struct LineState;

// Scans the nodes of options.nodes and prints what was found, also after
// Ctrl-C; returns the exit code (0 found, 5 none, 130 interrupted, 4 port).
int RunScan(const CliOptions& options, LineState& line, Event& commandEvent, StatusOutput& status);
