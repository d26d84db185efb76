// vx40 --nodes against a line of three simulated devices, and the service
// log those commands leave: every node served as a command of its own, a
// failure that stops the others only when asked, the summary and the exit
// code, and log lines that stay whole when two processes append at once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "cli/log_command.h"
#include "command_text.h"
#include "fleet/service_log.h"
#include "sim/simulated_device.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

std::vector<std::string> LastLines(const std::string& text, std::size_t count) {
    const auto lines = Lines(text);
    return {lines.end() - static_cast<std::ptrdiff_t>(std::min(count, lines.size())), lines.end()};
}

Bytes ModuleBytes(std::size_t size, std::uint8_t salt) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 1030 + salt);
    return bytes;
}

// The digest as coreutils computes it, independently of vx40's own.
std::string Sha256Sum(const fs::path& path) {
    const ChildResult run = RunChild("/usr/bin/sha256sum", {path.string()});
    return run.out.substr(0, 64);
}

// Every line of the log, parsed; a line that is not one whole JSON object
// fails the test.
// The entries that say how each command ended. A write's end must follow the
// line that said it had started, before its first block (same id).
std::vector<Json> LogEntries(const fs::path& path) {
    std::vector<Json> entries;
    std::set<std::string> started;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        Json entry = Json::parse(line, nullptr, false);
        EXPECT_TRUE(entry.is_object()) << line;
        if (entry.value("state", "") == "started") {
            started.insert(entry.value("id", ""));
            continue;
        }
        if (entry["command"] == "write" && entry.contains("before")) {
            EXPECT_EQ(started.count(entry.value("id", "-")), 1u) << line;
        }
        entries.push_back(entry);
    }
    return entries;
}

// vx40 keeps its service log under XDG_STATE_HOME: every vx40 this test
// program starts logs into a folder of the program's own, not the user's.
class StateHome : public ::testing::Environment {
  public:
    static fs::path Folder() {
        return fs::temp_directory_path() / ("vx40-state-" + std::to_string(::getpid()));
    }
    void SetUp() override {
        fs::create_directories(Folder());
        ::setenv("XDG_STATE_HOME", Folder().c_str(), 1);
    }
    void TearDown() override { fs::remove_all(Folder()); }
};
[[maybe_unused]] ::testing::Environment* const kStateHome =
    ::testing::AddGlobalTestEnvironment(new StateHome);

class ThreeDevices : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("vx40-nodes-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::remove_all(LogPath().parent_path());

        SimOptions options;
        for (std::uint8_t node = 1; node <= 3; ++node) {
            DeviceConfig config;
            config.node = node;
            config.serialNumber = 1000u + node;
            config.recordSeed = 0x5EED + node;  // a record from the wrong device is caught
            options.devices.push_back(config);
        }
        device = std::make_unique<SimulatedDevice>(options);
        ASSERT_TRUE(device->Start()) << device->LastError();
    }
    void TearDown() override {
        device->Stop();
        fs::remove_all(folder);
    }

    ChildResult Vx40(std::vector<std::string> args) {
        args.insert(args.begin(), {"-q", "-p", device->SlavePath()});
        return RunChild(VX40_EXE, args, folder.string());
    }

    std::size_t RequestsTo(std::uint8_t node) const {
        std::size_t count = 0;
        for (const ReceivedRequest& request : device->Requests())
            count += request.payload.size() > 1 && request.payload[1] == node;
        return count;
    }

    // The log's usual place.
    static fs::path LogPath() { return StateHome::Folder() / "vx40" / "service.log"; }

    fs::path folder;
    std::unique_ptr<SimulatedDevice> device;
};

TEST_F(ThreeDevices, AWriteGoesOnPastARefusalUnlessStopOnErrorAndEachNodeIsLogged) {
    device->AddFault(2, *ParseFaultRule("19:every:refuse:253"));
    const Bytes first = ModuleBytes(3 * 1030, 0);
    WriteFile(folder / "first.vx4", first);

    ChildResult run = Vx40({"--nodes", "1-3", "write", "first.vx4"});
    EXPECT_EQ(run.exitCode, 6) << run.err;
    for (const std::uint8_t node : {std::uint8_t{1}, std::uint8_t{3}}) {
        const auto blocks = device->ModuleBlocks(node);
        ASSERT_EQ(blocks.size(), 3u) << int(node);
        EXPECT_TRUE(std::equal(first.begin() + 2060, first.end(), blocks[2].begin()));
    }
    EXPECT_TRUE(device->ModuleBlocks(2).empty());
    EXPECT_EQ(LastLines(run.out, 3),
              (std::vector<std::string>{
                  "node 1: ok",
                  "node 2: failed, exit 6: Ошибка устройства. Ошибка записи данных в устройство.",
                  "node 3: ok"}));

    // One entry per node, with the module's digest and the identities.
    const std::string digest = Sha256Sum(folder / "first.vx4");
    const auto entries = LogEntries(LogPath());
    ASSERT_EQ(entries.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const Json& entry = entries[static_cast<std::size_t>(i)];
        EXPECT_EQ(entry["command"], "write");
        EXPECT_EQ(entry["port"], device->SlavePath());
        EXPECT_EQ(entry["node"], i + 1);
        EXPECT_EQ(entry["module"],
                  (Json{{"name", "first.vx4"}, {"size", 3090}, {"sha256", digest}}));
        EXPECT_EQ(entry["before"]["serialNumber"], std::to_string(1001 + i));
        EXPECT_EQ(entry["result"], i == 1 ? -2103 : 0);
        // The device is identified again only after a write that completed.
        EXPECT_EQ(entry.contains("after"), i != 1);
        EXPECT_TRUE(entry["durationMs"].is_number_integer());
        EXPECT_EQ(entry["time"].get<std::string>().back(), 'Z');
    }

    // With --stop-on-error the third device is not even asked.
    WriteFile(folder / "second.vx4", ModuleBytes(2 * 1030, 7));
    const std::size_t toThird = RequestsTo(3);
    run = Vx40({"--json", "--stop-on-error", "--nodes", "1-3", "write", "second.vx4"});
    EXPECT_EQ(run.exitCode, 6) << run.err;
    EXPECT_EQ(RequestsTo(3), toThird);
    EXPECT_EQ(device->ModuleBlocks(3).size(), 3u);
    EXPECT_EQ(device->ModuleBlocks(1).size(), 2u);
    ASSERT_EQ(Lines(run.out).size(), 1u) << run.out;
    const Json json = Json::parse(run.out);
    EXPECT_EQ(json["result"], -2103);
    ASSERT_EQ(json["results"].size(), 2u);
    EXPECT_EQ(json["results"][0]["node"], 1);
    EXPECT_EQ(json["results"][0]["blocks"], 2);
    EXPECT_EQ(json["results"][1]["node"], 2);
    EXPECT_EQ(json["results"][1]["result"], -2103);
    EXPECT_EQ(json["notServed"], Json::array({3}));
    EXPECT_EQ(LogEntries(LogPath()).size(), 5u);
}

TEST_F(ThreeDevices, BackupsGoIntoOneFolderUnderTheirProposedNamesWithTheirDigestsLogged) {
    fs::create_directories(folder / "saved");
    const ChildResult run = Vx40({"--nodes", "3,1,2", "backup", "calibration", "-o", "saved"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(LastLines(run.out, 3),
              (std::vector<std::string>{"node 3: ok", "node 1: ok", "node 2: ok"}));

    const auto entries = LogEntries(LogPath());
    ASSERT_EQ(entries.size(), 3u);
    const std::uint8_t order[] = {3, 1, 2};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::uint8_t node = order[i];
        const fs::path file = folder / "saved" / ("VX40_100" + std::to_string(node) + "_CLB.vx4");
        const auto& record = device->ModelAt(node)->CalibrationRecord();
        EXPECT_EQ(Contents(file), Bytes(record.begin(), record.end())) << int(node);
        EXPECT_EQ(entries[i]["node"], node);
        EXPECT_EQ(entries[i]["kind"], "calibration");
        EXPECT_EQ(entries[i]["backup"]["path"], "saved/" + file.filename().string());
        EXPECT_EQ(entries[i]["backup"]["sha256"], Sha256Sum(file));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "saved"), fs::directory_iterator()), 3);
}

// `info --timeout` ends a search through the command event; the next node
// must start with it clear and get its own full search, and the run's exit
// code is the first failure's.
TEST_F(ThreeDevices, ANodeThatRunsOutOfTimeLeavesTheNextItsOwnSearch) {
    const ChildResult run = Vx40({"--json", "--nodes", "12,1", "info", "--timeout", "1"});
    EXPECT_EQ(run.exitCode, 5) << run.err;
    const Json json = Json::parse(run.out);
    EXPECT_EQ(json["result"], -2005);
    ASSERT_EQ(json["results"].size(), 2u) << run.out;
    EXPECT_EQ(json["results"][0]["node"], 12);
    EXPECT_EQ(json["results"][0]["result"], -2005);
    EXPECT_EQ(json["results"][1]["node"], 1);
    ASSERT_EQ(json["results"][1]["result"], 0) << run.out;
    EXPECT_EQ(json["results"][1]["device"]["serialNumber"], "1001");
}

// A log that cannot be written costs the device command nothing, and says
// so once a run, not once a node.
TEST_F(ThreeDevices, AnUnwritableLogWarnsOnceAndEveryNodeIsServed) {
    const ChildResult run = Vx40(
        {"--log", (folder / "no-such-folder" / "x.log").string(), "--nodes", "1,2", "activate"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(device->Activations(1), 1);
    EXPECT_EQ(device->Activations(2), 1);
    std::size_t warnings = 0;
    for (const std::string& line : Lines(run.err))
        warnings += line.find("warning") != std::string::npos;
    EXPECT_EQ(warnings, 1u) << run.err;
}

TEST_F(ThreeDevices, BadListsAreUsageErrorsWithNothingOnTheLine) {
    const std::vector<std::vector<std::string>> cases = {
        {"--nodes", "3-1", "info"},
        {"--nodes", "300", "write", "first.vx4"},
        {"--nodes", "1,,2", "activate"},
        {"--nodes", "a", "backup", "calibration"},
        {"--nodes", "1", "-n", "2", "activate"},
        // Several devices cannot share one file name.
        {"--nodes", "1-2", "backup", "configuration", "-o", "one.vx4"},
        {"--nodes", "1-2", "ports"},
    };
    for (const auto& args : cases) {
        const ChildResult run = Vx40(args);
        EXPECT_EQ(run.exitCode, 2) << args[1] << " " << args[2];
        EXPECT_EQ(run.out, "") << args[1];
        EXPECT_NE(run.err, "") << args[1];
    }
    EXPECT_TRUE(device->Requests().empty());
    EXPECT_FALSE(fs::exists(LogPath()));
}

// Two processes appending at once: every line whole, none lost. The port
// does not exist, so each run fails fast, and a failure is logged too.
TEST_F(ThreeDevices, ConcurrentAppendsLeaveEveryLineWholeAndLogPrintsThem) {
    const fs::path log = folder / "shared.log";
    auto loop = [&](const std::string& node) {
        for (int i = 0; i < 50; ++i) {
            const ChildResult run = RunChild(VX40_EXE, {"-q", "-p", "/dev/vx40-no-such-port", "-n",
                                                        node, "--log", log.string(), "activate"});
            EXPECT_EQ(run.exitCode, 4) << run.err;
        }
    };
    std::thread a(loop, "1");
    std::thread b(loop, "2");
    a.join();
    b.join();
    std::map<int, int> perNode;
    for (const Json& entry : LogEntries(log))
        ++perNode[entry["node"].get<int>()];
    EXPECT_EQ(perNode, (std::map<int, int>{{1, 50}, {2, 50}}));
    EXPECT_FALSE(fs::exists(LogPath()));  // --log chose another place

    // Without --last, every entry.
    ChildResult run = RunChild(VX40_EXE, {"log", "--log", log.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 101u);

    run = RunChild(VX40_EXE, {"log", "--last", "3", "--log", log.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto table = Lines(run.out);
    ASSERT_EQ(table.size(), 4u) << run.out;
    EXPECT_EQ(table[0].rfind("TIME", 0), 0u);
    EXPECT_NE(table[3].find("activate"), std::string::npos);
    EXPECT_NE(table[3].find("-2016"), std::string::npos);

    run = RunChild(VX40_EXE, {"log", "--json", "--last", "1", "--log", log.string()});
    const Bytes bytes = Contents(log);
    EXPECT_EQ(run.out, LastLines(std::string(bytes.begin(), bytes.end()), 1).at(0) + "\n");

    // --no-log writes nothing.
    RunChild(VX40_EXE, {"-p", "/dev/vx40-no-such-port", "--no-log", "activate"});
    EXPECT_FALSE(fs::exists(LogPath()));
}

// A damaged log: lines cut short, bytes that are not UTF-8, numbers beyond
// any type, fields of the wrong type, control characters. Every line is an
// entry or counted as left out; what the table cannot show as it stands is
// "-" or '?', never a crash, a wrapped number or a row broken in two.
TEST(ServiceLogReader, ADamagedLogListsWhatItCanAndCountsTheRest) {
    const struct {
        std::string line;
        const char* row;  // the columns joined by '|'; null: left out
    } cases[] = {
        {R"({"time":"T","command":"write","port":"COM3","node":1,"result":0,"durationMs":1500})",
         "T|write|COM3|1|-|-|1.5 s|ok"},
        {R"({"time":"T","command":"activa)", nullptr},
        {"\xff\xfe{}", nullptr},
        {"{\"port\":\"\xc3\x28\"}", nullptr},
        {std::string("{\"port\":\"a") + '\0' + "b\"}", nullptr},
        {R"({"node":1e999})", nullptr},
        {"[1,2]", nullptr},
        {R"({"node":18446744073709551615,"durationMs":1e300,"result":"0"})",
         "-|-|-|18446744073709551615|-|-|-|ok"},
        {R"({"port":"a\nb\u001b[2J\u009b","before":[1],"module":"x","backup":{"path":7},)"
         R"("durationMs":-5,"result":-2011,"message":[]})",
         "-|-|a?b?[2J?|-|-|7|-|-2011"},
    };
    std::string text;
    std::vector<std::string> expected;
    int leftOut = 0;
    for (const auto& c : cases) {
        text += c.line + "\n";
        if (c.row != nullptr) expected.push_back(c.row);
        leftOut += c.row == nullptr;
    }
    for (const int last : {0, 1}) {
        std::istringstream in(text);
        const ServiceLogListing listing = ReadServiceLog(in, last);
        std::vector<std::string> rows;
        for (const ServiceLogEntry& entry : listing.entries) {
            std::string row;
            for (const std::string& column : entry.row)
                row += (row.empty() ? "" : "|") + column;
            rows.push_back(row);
        }
        EXPECT_EQ(rows, last == 0 ? expected : std::vector<std::string>{expected.back()});
        EXPECT_EQ(listing.damaged, leftOut);
    }
}

// The same through the append itself, in two processes started at the same
// moment, so that the appends really meet: a run of vx40 takes thousands of
// times longer than its append, and two runs rarely collide. A few rounds,
// since even then a broken append does not break a line every time.
TEST(ServiceLogAppend, TwoProcessesAppendingAtOnceKeepEveryLineWhole) {
    const std::string log = (StateHome::Folder() / "append-race.log").string();
    const std::string lines[2] = {std::string(3000, 'a') + "\n", std::string(5000, 'b') + "\n"};
    for (int round = 0; round < 8 && !HasFailure(); ++round) {
        fs::remove(log);
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        pid_t children[2];
        for (int i = 0; i < 2; ++i) {
            // No other thread runs here, and the child allocates nothing.
            children[i] = ::fork();
            ASSERT_GE(children[i], 0);
            if (children[i] == 0) {
                char byte;
                ::close(go[1]);
                if (::read(go[0], &byte, 1) != 0) ::_exit(2);  // the end of the pipe: go
                std::string problem;
                for (int n = 0; n < 50; ++n) {
                    if (!AppendWholeLine(log, lines[i], problem)) ::_exit(1);
                }
                ::_exit(0);
            }
        }
        ::close(go[0]);
        ::close(go[1]);  // both children start now
        for (const pid_t child : children) {
            int status = 0;
            ::waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        std::map<std::string, int> seen;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            ++seen[line.size() == 3000 || line.size() == 5000 ? line.substr(0, 1) : "damaged"];
        EXPECT_EQ(seen, (std::map<std::string, int>{{"a", 50}, {"b", 50}})) << "round " << round;
    }
}

}  // namespace
