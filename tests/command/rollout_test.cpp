// vx40 rollout against two simulated lines of two devices each: the plan
// checked before any traffic, devices written and verified by the version
// they then report, the canary and max-failures, a dry run, and Ctrl-C in
// the middle of a write.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "command_text.h"
#include "sim/simulated_device.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

constexpr std::uint8_t kWriteBlock = 19;
constexpr std::uint8_t kActivate = 20;

Bytes ModuleBytes(std::size_t records) {
    Bytes bytes(records * 1030);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 1030);
    return bytes;
}

std::string ReadText(const fs::path& path) {
    const Bytes bytes = Contents(path);
    return {bytes.begin(), bytes.end()};
}

class TwoLines : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("vx40-rollout-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        module = ModuleBytes(3);
        WriteFile(folder / "vx40-0106.vx4", module);
    }
    void TearDown() override {
        for (auto& line : lines)
            line->Stop();
        fs::remove_all(folder);
    }

    // Two lines, nodes 1 and 2 on each, all VX40 at 01.05 that report 01.06
    // once written; `adjust` changes a device (line 0 or 1, node).
    void StartLines(bool pace = false,
                    const std::function<void(int, DeviceConfig&)>& adjust = nullptr) {
        for (int line = 0; line < 2; ++line) {
            SimOptions options;
            options.pace = pace;
            for (std::uint8_t node = 1; node <= 2; ++node) {
                DeviceConfig config;
                config.node = node;
                config.serialNumber = 100u * static_cast<unsigned>(line + 1) + node;
                config.writtenAppVersion = 0x0106;
                if (adjust) adjust(line, config);
                options.devices.push_back(config);
            }
            lines.push_back(std::make_unique<SimulatedDevice>(options));
            ASSERT_TRUE(lines.back()->Start()) << lines.back()->LastError();
        }
    }

    // The plan: `head` (settings and modules; the usual module when empty),
    // then the two lines.
    std::string Plan(const std::string& head = "", const std::string& nodes = "1-2") const {
        std::string text = head.empty() ? "[[module]]\ntype = \"VX40\"\nfile = "
                                          "\"vx40-0106.vx4\"\nversion = \"01.06\"\n"
                                        : head;
        for (const auto& line : lines)
            text += "[[line]]\nport = \"" + line->SlavePath() + "\"\nnodes = \"" + nodes + "\"\n";
        return text;
    }

    ChildResult Rollout(const std::string& plan, std::vector<std::string> extra = {}) {
        std::ofstream(folder / "plan.toml") << plan;
        std::vector<std::string> args{"--log", (folder / "service.log").string(), "--json",
                                      "rollout", "plan.toml"};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunChild(VX40_EXE, args, folder.string(), 60000);
    }

    // The actions of the --json object, in plan order.
    static std::vector<std::string> Actions(const ChildResult& run) {
        const Json json = Json::parse(run.out, nullptr, false);
        std::vector<std::string> actions;
        if (!json.is_object()) return {"no JSON: " + run.out};
        for (const Json& device : json["devices"])
            actions.push_back(device["action"].get<std::string>());
        return actions;
    }

    std::size_t RequestsOf(std::uint8_t command) const {
        std::size_t count = 0;
        for (const auto& line : lines)
            for (const ReceivedRequest& request : line->Requests())
                count += request.payload.size() > 2 && request.payload[2] == command;
        return count;
    }

    // Paced lines, where the 20 records of the module take some 3.6 s.
    void StartPacedLines() {
        StartLines(true);
        module = ModuleBytes(20);
        WriteFile(folder / "vx40-0106.vx4", module);
    }

    // Ctrl-C pressed `presses` times once stderr shows `when` (by default:
    // the canary's write is under way).
    ChildResult Interrupt(int presses, const std::string& when = "writing 25%") {
        std::ofstream(folder / "plan.toml") << Plan();
        ChildProcess vx40(VX40_EXE,
                          {"--no-log", "--json", "rollout", "plan.toml", "--report", "report.json"},
                          folder.string());
        if (!vx40.WaitForErr(when, 30000)) return {};
        vx40.Signal(SIGINT);
        // A second signal sent before the first was taken would merge with it.
        if (presses > 1) {
            if (!vx40.WaitForErr("Ctrl-C again", 30000)) return {};
            for (int press = 1; press < presses; ++press) {
                vx40.Signal(SIGINT);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        ChildResult run = vx40.Finish(60000);
        EXPECT_NE(run.err.find("cannot be recognised"), std::string::npos) << run.err;
        return run;
    }

    fs::path folder;
    Bytes module;
    std::vector<std::unique_ptr<SimulatedDevice>> lines;
};

TEST_F(TwoLines, WritesAndVerifiesEveryDeviceThenSkipsThemAll) {
    StartLines();
    const ChildResult run = Rollout(Plan());
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    EXPECT_EQ(Actions(run), (std::vector<std::string>(4, "written")));
    for (const auto& line : lines)
        for (std::uint8_t node = 1; node <= 2; ++node)
            EXPECT_TRUE(HoldsModule(line->ModuleBlocks(node), module)) << int(node);
    const Json json = Json::parse(run.out);
    EXPECT_EQ(json["devices"][3]["after"]["appVersion"], "01.06 (01.06.2026)");
    EXPECT_EQ(json["counts"]["written"], 4);
    // Each write logged as `write` logs it: that it has started, and how it
    // ended.
    EXPECT_EQ(Lines(ReadText(folder / "service.log")).size(), 8u);

    const std::size_t writes = RequestsOf(kWriteBlock);
    const ChildResult again = Rollout(Plan());
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(Actions(again), (std::vector<std::string>(4, "skipped")));
    EXPECT_EQ(RequestsOf(kWriteBlock), writes);
}

TEST_F(TwoLines, LeavesOtherTypesAloneAndStopsAfterAFailedVerification) {
    StartLines(false, [](int line, DeviceConfig& config) {
        if (line == 0 && config.node == 1) config.deviceType = {'V', 'X', '4', '1'};
        if (line == 0 && config.node == 2) config.writtenAppVersion.reset();  // keeps 01.05
    });
    const ChildResult run = Rollout(Plan());
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(Actions(run),
              (std::vector<std::string>{"other-type", "failed", "not-served", "not-served"}));
    const Json json = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(json.is_object()) << run.out;
    EXPECT_EQ(json["devices"][1]["message"], "device reports 01.05, the plan expects 01.06");
    // A script reading the report sees the failure.
    EXPECT_EQ(json["devices"][1]["result"], -2110);
    EXPECT_EQ(json["result"], -2110);
    EXPECT_TRUE(lines[0]->ModuleBlocks(1).empty());
    EXPECT_TRUE(lines[1]->Requests().empty());
}

// A powered-off node is no failure: with max-failures = 1 the rest is still
// written. And nothing is activated unless the plan says so.
TEST_F(TwoLines, AnAbsentDeviceStopsNothing) {
    StartLines();
    const ChildResult run = Rollout(Plan("", "3,1"));
    EXPECT_EQ(run.exitCode, 5) << run.err;
    EXPECT_EQ(Actions(run), (std::vector<std::string>{"absent", "written", "absent", "written"}));
    EXPECT_EQ(Json::parse(run.out)["result"], -2005);
    EXPECT_EQ(lines[0]->Activations(1) + lines[1]->Activations(1), 0);
}

// A write refused at block 2, an activation refused, a write cut short by
// kill -9: each leaves a device that reports the new version (the simulator
// does once a block is stored). The next run does that work again in full.
TEST_F(TwoLines, UnfinishedWorkIsDoneAgainWhateverTheDeviceReports) {
    const struct {
        const char* fault;  // for the first run on line 0, node 1; null: killed
        const char* why;
    } cases[] = {{"19:2:refuse:253", "the write of vx40-0106.vx4 on "},
                 {"20:1:refuse:254", "the activation on "},
                 {nullptr, "the write of vx40-0106.vx4 on "}};
    const std::string head =
        "activate = true\n[[module]]\ntype = \"VX40\"\nfile = \"vx40-0106.vx4\"\nversion = "
        "\"01.06\"\n";
    for (const auto& test : cases) {
        SCOPED_TRACE(test.fault != nullptr ? test.fault : "killed");
        for (auto& line : lines)
            line->Stop();
        lines.clear();
        fs::remove(folder / "service.log");
        if (test.fault != nullptr) {
            StartLines();
            lines[0]->AddFault(1, *ParseFaultRule(test.fault));
            EXPECT_NE(Rollout(Plan(head, "1")).exitCode, 0);
        } else {
            StartPacedLines();
            std::ofstream(folder / "plan.toml") << Plan(head, "1");
            ChildProcess vx40(VX40_EXE, {"--log", "service.log", "rollout", "plan.toml"},
                              folder.string());
            ASSERT_TRUE(vx40.WaitForErr("writing 25%", 30000)) << vx40.Err();
            vx40.Signal(SIGKILL);
            vx40.Finish(10000);
            const ChildResult log =
                RunChild(VX40_EXE, {"--log", "service.log", "log"}, folder.string());
            EXPECT_NE(log.out.find("started, never ended"), std::string::npos) << log.out;
        }
        const ChildResult again = Rollout(Plan(head, "1"));
        EXPECT_EQ(again.exitCode, 0) << again.err << again.out;
        EXPECT_EQ(Actions(again), (std::vector<std::string>{"written", "written"}));
        const std::string message =
            Json::parse(again.out, nullptr, false)["devices"][0]["message"].get<std::string>();
        EXPECT_EQ(message.rfind(test.why, 0), 0u) << message;
        EXPECT_NE(message.find("did not finish: written again"), std::string::npos) << message;
        EXPECT_TRUE(HoldsModule(lines[0]->ModuleBlocks(1), module));
        EXPECT_TRUE(lines[0]->ApplicationStarted(1));
    }
}

TEST_F(TwoLines, ACanaryRefusedLeavesEveryOtherDeviceUntouched) {
    StartLines();
    lines[0]->AddFault(1, *ParseFaultRule("19:1:refuse:253"));
    const ChildResult run = Rollout(Plan(), {"--report", "report.json"});
    EXPECT_EQ(run.exitCode, 6) << run.err;
    EXPECT_EQ(Actions(run),
              (std::vector<std::string>{"failed", "not-served", "not-served", "not-served"}));
    EXPECT_EQ(RequestsOf(kWriteBlock), 1u);
    EXPECT_EQ(Json::parse(ReadText(folder / "report.json")), Json::parse(run.out));
}

TEST_F(TwoLines, ADryRunOnlyIdentifies) {
    StartLines();
    const ChildResult run = Rollout("activate = true\n" + Plan(), {"--dry-run"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Actions(run), (std::vector<std::string>(4, "would-write")));
    EXPECT_EQ(RequestsOf(kWriteBlock) + RequestsOf(kActivate), 0u);
    EXPECT_FALSE(fs::exists(folder / "service.log"));
}

TEST_F(TwoLines, CtrlCDuringTheCanaryFinishesItsWriteAndStartsNothingMore) {
    StartPacedLines();
    const ChildResult run = Interrupt(1);
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_EQ(Actions(run),
              (std::vector<std::string>{"written", "not-served", "not-served", "not-served"}));
    EXPECT_TRUE(HoldsModule(lines[0]->ModuleBlocks(1), module));
    EXPECT_EQ(Json::parse(ReadText(folder / "report.json"))["result"], -2109);
}

// A device still being identified when Ctrl-C comes gets no block.
TEST_F(TwoLines, CtrlCWhileIdentifyingStartsNoWrite) {
    StartLines();
    // Each reply late, though within the reply wait: identifying takes a while.
    lines[0]->AddFault(1, *ParseFaultRule("any:every:delay:200"));
    const ChildResult run = Interrupt(1, "identifying");
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_EQ(Actions(run), (std::vector<std::string>(4, "not-served")));
    EXPECT_EQ(RequestsOf(kWriteBlock), 0u);
}

// Presses after the second change nothing: the aborted device is reported
// as holding part of a module, and the report is written.
TEST_F(TwoLines, ASecondCtrlCAbortsTheWriteAtOnce) {
    StartPacedLines();
    const ChildResult run = Interrupt(3);
    EXPECT_EQ(run.exitCode, 130) << run.err;
    const Json json = Json::parse(ReadText(folder / "report.json"), nullptr, false);
    ASSERT_TRUE(json.is_object()) << run.out;
    EXPECT_EQ(json["devices"][0]["action"], "failed");
    EXPECT_EQ(json["devices"][0]["result"], -2109);
    // Nothing went out after the abort: what the device stores once every
    // frame on the line has reached it is what it accepted.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t stored = lines[0]->ModuleBlocks(1).size();
    EXPECT_LT(stored, 20u);
    EXPECT_EQ(json["devices"][0]["message"],
              "aborted after block " + std::to_string(stored) + " of 20: run the plan again");
}

// Each bad plan: its exit code and message; nothing goes on either line.
TEST_F(TwoLines, ABadPlanIsRefusedBeforeAnyTraffic) {
    StartLines();
    WriteFile(folder / "short.vx4", Bytes(1029, 0));
    const std::string head = "[[module]]\ntype = \"VX40\"\nfile = \"vx40-0106.vx4\"\n";
    const std::string firstPort = lines[0]->SlavePath();
    fs::create_symlink(lines[0]->SlavePath(), folder / "link");
    const std::string moduleTable = head + "version = \"01.06\"\n";
    const auto line = [](const std::string& port) {
        return "[[line]]\nport = \"" + port + "\"\nnodes = \"1\"\n";
    };
    struct Case {
        std::string plan;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases{
        {"max-failure = 2\n" + Plan(), 2, "plan.toml:1: unknown key \"max-failure\""},
        {Plan(head + "version = \"01.06\"\ncolour = 1\n"), 2,
         "plan.toml:5: unknown key \"colour\" in [[module]]"},
        {Plan("[[module]]\ntype = \"VX40\"\nfile = \"gone.vx4\"\nversion = \"01.06\"\n"), 3,
         "plan.toml:1: gone.vx4: cannot open"},
        {Plan(head + "version = \"01.06\"\nsha256 = \"" + std::string(64, '0') + "\"\n"), 3,
         "the plan expects 0000"},
        {Plan("[[module]]\ntype = \"VX40\"\nfile = \"short.vx4\"\nversion = \"01.06\"\n"), 3,
         "1029 bytes, not a whole number of 1030-byte block records"},
        {Plan(head + "version = \"1.6\"\n"), 2, "plan.toml:4: version \"1.6\""},
        // A key typed in the wrong keyboard layout.
        {Plan(head + "version = \"01.06\"\n\xD1\x82\xD0\xB8\xD0\xBF = 1\n"), 2,
         "plan.toml:5: a character that is not ASCII outside double quotes"},
        {head + "version = \"01.06\"\n[[line]]\nport = \"" + firstPort + "\"\nnodes = \"1-\"\n", 2,
         "plan.toml:7: nodes \"1-\""},
        {moduleTable + line(firstPort) + line(firstPort), 2,
         "plan.toml:9: port \"" + firstPort + "\" has a [[line]] already"},
        // One line, however its port is spelt: two threads would drive one bus.
        {moduleTable + line(firstPort) + line((folder / "link").string()), 2,
         "has a [[line]] already (as \"" + firstPort + "\")"},
        {moduleTable + line("socket://gw:4001") + line("socket://GW:4001?latency=100"), 2,
         "plan.toml:9: port \"socket://GW:4001?latency=100\" has a [[line]] already"},
        // Each port as the channel will read it, before any line is written.
        {moduleTable + line(firstPort) + line("rfc2217://gw:4001?latency=20000"), 2,
         "plan.toml:9: port \"rfc2217://gw:4001?latency=20000\": the latency must be"},
        {moduleTable + moduleTable + line(firstPort), 2, "type \"VX40\" has a [[module]] already"},
        {"max-failures = 0\n" + Plan(), 2, "plan.toml:1: max-failures is a whole number from 1"},
        {moduleTable + line("socket://gw:4001") + "rs485 = true\n", 2,
         "plan.toml:8: rs485: not for a serial server"},
        {moduleTable + line(firstPort) + "rs485 = true\n", 4,
         "this port's driver has no RS-485 mode"},
        // Every port opened before the first byte goes out on any line.
        {moduleTable + line(firstPort) + line("/dev/vx40-no-such-port"), 4,
         "/dev/vx40-no-such-port"},
    };
    for (const Case& test : cases) {
        const ChildResult run = Rollout(test.plan, {"--report", "report.json"});
        EXPECT_EQ(run.exitCode, test.exitCode) << test.plan << run.err;
        EXPECT_NE(run.err.find(test.message), std::string::npos) << test.plan << run.err;
        // The report says so too.
        const Json report = Json::parse(ReadText(folder / "report.json"), nullptr, false);
        EXPECT_LT(report.value("result", 0), 0) << test.plan;
        fs::remove(folder / "report.json");
    }
    EXPECT_TRUE(lines[0]->Requests().empty());
    EXPECT_TRUE(lines[1]->Requests().empty());
}

}  // namespace

namespace {

// Every command, its stdout and stderr closed by a reader that went away
// (`| head`, `| less` then q): no signal ends it; the work finishes, is
// logged, and the exit code says what the work did.
TEST_F(TwoLines, AClosedOutputStopsNoCommand) {
    StartLines();
    std::ofstream(folder / "plan.toml") << Plan("", "2");
    const std::string port = lines[0]->SlavePath();
    const std::vector<std::vector<std::string>> commands{
        {"write", "vx40-0106.vx4"},
        {"backup", "calibration", "-o", folder.string() + "/"},
        {"activate"},
        {"--nodes", "1-2", "write", "vx40-0106.vx4"},
        {"scan", "--nodes", "1-2"},
        {"doctor"},
        {"rollout", "plan.toml", "--report", "report.json"},
    };
    for (const auto& command : commands) {
        std::vector<std::string> args{"-p", port, "--log", "service.log"};
        if (command[0] != "--nodes" && command[0] != "scan") args.insert(args.end(), {"-n", "1"});
        args.insert(args.end(), command.begin(), command.end());
        ChildProcess vx40(VX40_EXE, args, folder.string());
        vx40.CloseOutput();
        EXPECT_EQ(vx40.Finish(60000).exitCode, 0) << command[0];
    }
    EXPECT_TRUE(HoldsModule(lines[0]->ModuleBlocks(1), module));
    EXPECT_TRUE(HoldsModule(lines[1]->ModuleBlocks(2), module));
    EXPECT_EQ(Json::parse(ReadText(folder / "report.json"))["result"], 0);
    EXPECT_NE(ReadText(folder / "service.log").find("\"command\":\"activate\""), std::string::npos);
}

// What a terminal of `columns` × `rows` shows of what is written to it:
// enough of one for the status block (printing, CR, LF, cursor up, erase to
// the end of the line or screen). Rows that scroll off the top are kept.
class Screen {
  public:
    Screen(int columns, int rows)
        : columns_(columns), rows_(rows), screen_(static_cast<std::size_t>(rows)) {}

    void Feed(const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                std::size_t end = i + 2;
                int n = 0;
                while (end < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[end])))
                    n = n * 10 + (bytes[end++] - '0');
                if (end >= bytes.size()) return;
                if (bytes[end] == 'A') {
                    clamped_ = clamped_ || row_ - std::max(n, 1) < 0;
                    row_ = std::max(0, row_ - std::max(n, 1));
                } else if (bytes[end] == 'K') {
                    Line().text.resize(std::min(Line().text.size(), column_));
                } else if (bytes[end] == 'J') {
                    Line().text.resize(std::min(Line().text.size(), column_));
                    for (int r = row_ + 1; r < rows_; ++r)
                        screen_[static_cast<std::size_t>(r)] = {};
                }
                i = end;
            } else if (c == '\r') {
                column_ = 0;
            } else if (c == '\n') {
                NewLine(false);
            } else {
                if (column_ == static_cast<std::size_t>(columns_)) NewLine(true);
                std::string& text = Line().text;
                if (text.size() < column_ + 1) text.resize(column_ + 1, ' ');
                text[column_++] = c;
            }
        }
    }

    // Every row that was shown, wrapped rows joined to the one they continue.
    std::vector<std::string> History() const {
        std::vector<std::string> lines;
        for (const auto* rows : {&gone_, &screen_})
            for (const Row& row : *rows) {
                if (row.continued && !lines.empty()) {
                    lines.back() += row.text;
                } else {
                    lines.push_back(row.text);
                }
            }
        return lines;
    }
    // Whether a redraw reached above the top of the screen.
    bool Clamped() const { return clamped_; }

  private:
    struct Row {
        std::string text;
        bool continued = false;
    };
    Row& Line() { return screen_[static_cast<std::size_t>(row_)]; }
    void NewLine(bool wrapped) {
        column_ = 0;
        if (row_ + 1 == rows_) {
            gone_.push_back(screen_.front());
            screen_.erase(screen_.begin());
            screen_.emplace_back();
        } else {
            ++row_;
        }
        Line().continued = wrapped;
    }

    int columns_, rows_;
    std::vector<Row> screen_, gone_;
    int row_ = 0;
    std::size_t column_ = 0;
    bool clamped_ = false;
};

// On a terminal narrower than the status rows and lower than the block of
// lines, with a warning in the middle of the run: every row is cut to the
// width, the block keeps within the height, and the warning stays.
TEST_F(TwoLines, TheTerminalViewHoldsWarningsNarrowAndLowTerminals) {
    StartLines();
    SimOptions third;
    third.device.node = 1;
    third.device.writtenAppVersion = 0x0106;
    lines.push_back(std::make_unique<SimulatedDevice>(third));
    ASSERT_TRUE(lines.back()->Start());
    std::ofstream(folder / "plan.toml") << "canary = 0\n" + Plan("", "1");

    constexpr int kColumns = 40;
    constexpr int kRows = 3;
    int master = -1;
    int slave = -1;
    winsize size{kRows, kColumns, 0, 0};
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
    ChildProcess vx40(VX40_EXE, {"--log", "/nonexistent/service.log", "rollout", "plan.toml"},
                      folder.string(), slave);
    ::close(slave);
    std::string shown;
    char buffer[4096];
    for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
        shown.append(buffer, static_cast<std::size_t>(got));
    ::close(master);
    EXPECT_EQ(vx40.Finish(30000).exitCode, 0);

    Screen screen(kColumns, kRows);
    screen.Feed(shown);
    EXPECT_FALSE(screen.Clamped()) << shown;
    bool warned = false;
    for (const std::string& line : screen.History()) {
        warned = warned || line.rfind("vx40: warning: no service log entry", 0) == 0;
        if (line.rfind("/dev/", 0) == 0) {
            EXPECT_LT(line.size(), std::size_t{kColumns}) << line;
        }
    }
    EXPECT_TRUE(warned) << shown;
}

}  // namespace
