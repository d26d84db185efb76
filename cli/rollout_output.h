// What a rollout shows: a status line per line while it runs, then a table
// or one JSON object, the report file and the exit code.
#pragma once

#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fleet/rollout_run.h"

struct RolloutPlan;

// The status lines on stderr. On a terminal the block of lines, one a plan
// line, is redrawn in place; otherwise each change worth a line (a device
// started, a quarter of a write, a device ended) is printed as a line of its
// own. Quiet shows nothing.
class RolloutStatus : public RolloutListener {
  public:
    RolloutStatus(std::FILE* stream, bool terminal, bool quiet, const RolloutPlan& plan);

    void Starting(std::size_t line, std::size_t index, std::size_t count,
                  std::uint8_t node) override;
    void Writing(std::size_t line, int percent) override;
    void Finished(const RolloutDevice& device) override;
    void LineDone(std::size_t line) override;
    // The first Ctrl-C: no further device is started. Called from the
    // interrupt's own thread.
    void Interrupted();

  private:
    struct Row {
        std::string port;
        std::string text;  // what the line is at
        std::size_t count = 0;
        std::size_t index = 0;
        int node = -1;
        int percent = -1;
        int done[kRolloutActionCount] = {};
    };
    std::string Text(const Row& row) const;
    void Draw(std::size_t line);  // with the mutex held

    std::FILE* stream_;
    bool terminal_;
    bool quiet_;
    std::mutex mutex_;
    std::vector<Row> rows_;
    std::string notice_;          // a line below the rows; empty for none
    std::size_t drawnLines_ = 0;  // lines of the block on the terminal
};

// The final table on stdout: port, node, type, application version before
// and after, action, message.
void PrintRolloutTable(const std::vector<RolloutDevice>& devices);

// The --json object and the report: result, message, devices, counts.
nlohmann::ordered_json RolloutJson(const std::vector<RolloutDevice>& devices, bool interrupted);

// 0 when every device ended written, skipped, other-type or would-write;
// 130 after Ctrl-C; else that of the first device in plan order that failed
// or was absent.
int RolloutExitCode(const std::vector<RolloutDevice>& devices, bool interrupted);

// The exit code a device's end gives (0 for one that did not fail).
int DeviceExitCode(const RolloutDevice& device);
