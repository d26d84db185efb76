// vx40 rollout against two simulated lines of two devices each: the plan
// checked before any traffic, devices written and verified by the version
// they then report, the canary and max-failures, a dry run, and Ctrl-C in
// the middle of a write.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
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
    std::string Plan(const std::string& head = "") const {
        std::string text = head.empty() ? "[[module]]\ntype = \"VX40\"\nfile = "
                                          "\"vx40-0106.vx4\"\nversion = \"01.06\"\n"
                                        : head;
        for (const auto& line : lines)
            text += "[[line]]\nport = \"" + line->SlavePath() + "\"\nnodes = \"1-2\"\n";
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

    // Ctrl-C pressed `presses` times once the canary's write is under way on
    // paced lines, where 20 records take some 3.6 s.
    ChildResult InterruptTheCanary(int presses) {
        StartLines(true);
        module = ModuleBytes(20);
        WriteFile(folder / "vx40-0106.vx4", module);
        std::ofstream(folder / "plan.toml") << Plan();
        ChildProcess vx40(VX40_EXE,
                          {"--no-log", "--json", "rollout", "plan.toml", "--report", "report.json"},
                          folder.string());
        if (!vx40.WaitForErr("writing", 30000)) return {};
        vx40.Signal(SIGINT);
        // A second signal sent before the first was taken would merge with it.
        if (presses > 1) {
            if (!vx40.WaitForErr("Ctrl-C again", 30000)) return {};
            vx40.Signal(SIGINT);
        }
        return vx40.Finish(60000);
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
    // Each write logged as `write` logs it.
    EXPECT_EQ(Lines(ReadText(folder / "service.log")).size(), 4u);

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
    EXPECT_TRUE(lines[0]->ModuleBlocks(1).empty());
    EXPECT_TRUE(lines[1]->Requests().empty());
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
    const ChildResult run = InterruptTheCanary(1);
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_EQ(Actions(run),
              (std::vector<std::string>{"written", "not-served", "not-served", "not-served"}));
    EXPECT_TRUE(HoldsModule(lines[0]->ModuleBlocks(1), module));
    EXPECT_EQ(Json::parse(ReadText(folder / "report.json"))["result"], -2109);
}

TEST_F(TwoLines, ASecondCtrlCAbortsTheWriteAtOnce) {
    const ChildResult run = InterruptTheCanary(2);
    EXPECT_EQ(run.exitCode, 130) << run.err;
    const Json json = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(json.is_object()) << run.out;
    EXPECT_EQ(json["devices"][0]["action"], "failed");
    EXPECT_EQ(json["devices"][0]["result"], -2109);
    EXPECT_LT(lines[0]->ModuleBlocks(1).size(), 20u);
}

// Each bad plan: its exit code and message; nothing goes on either line.
TEST_F(TwoLines, ABadPlanIsRefusedBeforeAnyTraffic) {
    StartLines();
    WriteFile(folder / "short.vx4", Bytes(1029, 0));
    const std::string head = "[[module]]\ntype = \"VX40\"\nfile = \"vx40-0106.vx4\"\n";
    const std::string firstPort = lines[0]->SlavePath();
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
        {head + "version = \"01.06\"\n[[line]]\nport = \"" + firstPort +
             "\"\nnodes = \"1\"\n[[line]]\nport = \"" + firstPort + "\"\nnodes = \"2\"\n",
         2, "plan.toml:9: port \"" + firstPort + "\" has a [[line]] already"},
    };
    for (const Case& test : cases) {
        const ChildResult run = Rollout(test.plan);
        EXPECT_EQ(run.exitCode, test.exitCode) << test.plan << run.err;
        EXPECT_NE(run.err.find(test.message), std::string::npos) << test.plan << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(lines[0]->Requests().empty());
    EXPECT_TRUE(lines[1]->Requests().empty());
}

}  // namespace
