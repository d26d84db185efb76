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
// line, is redrawn in place: each row cut to the terminal's width, and when
// there are more lines than the terminal has rows, the busiest lines and one
// row that sums up the rest. Notices and warnings go above the block, where
// the next redraw leaves them be. Otherwise each change worth a line (a
// device started, a quarter of a write, a device ended) is printed as a line
// of its own. Quiet shows nothing but notices.
class RolloutStatus : public RolloutListener {
  public:
    RolloutStatus(std::FILE* stream, bool terminal, bool quiet, const RolloutPlan& plan);

    void Starting(std::size_t line, std::size_t index, std::size_t count,
                  std::uint8_t node) override;
    void Writing(std::size_t line, int percent) override;
    void Finished(const RolloutDevice& device) override;
    void LineDone(std::size_t line) override;
    // A line for the technician that stays on the screen.
    void Notice(const std::string& text);
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
        bool done = false;
        int ended[kRolloutActionCount] = {};
    };
    std::string Text(const Row& row) const;
    // The rows the block shows on a terminal `height` rows high.
    std::vector<std::string> Block(int height) const;
    // With the mutex held: the block again, or the line of `line` alone
    // when stderr is no terminal. `notice`, when given, goes above the block.
    void Draw(std::size_t line, const std::string* notice = nullptr);

    std::FILE* stream_;
    bool terminal_;
    bool quiet_;
    std::mutex mutex_;
    std::vector<Row> rows_;
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
