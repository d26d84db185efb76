// vx40 scan as a process against a simulated line of three devices, at
// nodes 3, 7 and 12. The scans ask short node lists: every silent node costs
// a quick wait and then a full 250 ms reply wait.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "child_process.h"
#include "command_text.h"
#include "sim/simulated_device.h"

namespace {

const std::string kRows =
    "485 N  Тип устройства  Серийный номер  BOOT версия (дата)  APP версия (дата)   Требуемая "
    "вер. BOOT\n"
    "3      VX40            12345           01.02 (14.05.2015)  01.05 (25.03.2016)  01.02\n"
    "7      VX41            1001            01.02 (14.05.2015)  01.05 (25.03.2016)  01.02\n"
    "12     VX40            не задан        01.02 (14.05.2015)  отсутствует         01.02\n";

// The caption line and the rows of kRows for `nodes`, in the order given.
std::string Table(std::initializer_list<std::string> nodes) {
    std::string table = kRows.substr(0, kRows.find('\n') + 1);
    for (const std::string& node : nodes) {
        const std::size_t at = kRows.find("\n" + node + " ") + 1;
        table += kRows.substr(at, kRows.find('\n', at) + 1 - at);
    }
    return table;
}

class Vx40Scan : public ::testing::Test {
  protected:
    void SetUp() override { StartLine(false); }
    void TearDown() override { sim->Stop(); }

    // The three devices, behind an adapter that echoes or one that does not.
    void StartLine(bool echo) {
        if (sim) sim->Stop();
        SimOptions options;
        options.echo = echo;
        options.devices.resize(3);
        options.devices[0].node = 3;
        options.devices[1].node = 7;
        options.devices[1].deviceType = {'V', 'X', '4', '1'};
        options.devices[1].serialNumber = 1001;
        options.devices[2].node = 12;
        options.devices[2].serialNumber = kSimAbsentSerial;
        options.devices[2].appVersion = kSimAbsentVersion;
        sim = std::make_unique<SimulatedDevice>(options);
        ASSERT_TRUE(sim->Start()) << sim->LastError();
    }

    std::vector<std::string> Args(std::vector<std::string> args) const {
        args.insert(args.begin(), {"-p", sim->SlavePath()});
        return args;
    }
    ChildResult Vx40(std::vector<std::string> args) const { return RunChild(VX40_EXE, Args(args)); }

    // Presence checks (command 16) the line carried to `node`.
    int PresenceChecks(std::uint8_t node) const {
        int count = 0;
        for (const auto& request : sim->Requests())
            count += request.payload[1] == node && request.payload[2] == 16;
        return count;
    }

    std::unique_ptr<SimulatedDevice> sim;
};

TEST_F(Vx40Scan, FindsTheDevicesOneRowEachInNodeOrder) {
    sim->AddFault(7, *ParseFaultRule("18:every:delay:100"));  // its record past the quick wait
    ChildResult run = Vx40({"scan", "--nodes", "0-20"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, kRows);
    const auto status = Lines(run.err);
    ASSERT_EQ(status.size(), 40u) << run.err;
    EXPECT_EQ(status[0], "node 0 (1 of 21) 00%");
    EXPECT_EQ(status[20], "node 20 (21 of 21) 95%");
    EXPECT_EQ(status[21], "node 0 (1 of 18, full wait) 00%");
    EXPECT_EQ(status[38], "node 20 (18 of 18, full wait) 94%");
    EXPECT_EQ(status[39], "21 nodes asked, 3 devices found 100%");
    // One attempt at a silent node in each pass, not four.
    EXPECT_EQ(PresenceChecks(5), 2);

    // The list's order is not the output's.
    run = Vx40({"-q", "--json", "scan", "--nodes", "12,5,7,3"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["result"], 0);
    EXPECT_EQ(json["port"], sim->SlavePath());
    ASSERT_EQ(json["devices"].size(), 3u) << run.out;
    EXPECT_EQ(json["devices"][0], (nlohmann::json{{"node", 3},
                                                  {"deviceType", "VX40"},
                                                  {"serialNumber", "12345"},
                                                  {"bootVersion", "01.02 (14.05.2015)"},
                                                  {"appVersion", "01.05 (25.03.2016)"},
                                                  {"requiredBootVersion", "01.02"}}));
    EXPECT_EQ(json["devices"][1]["node"], 7);
    EXPECT_EQ(json["devices"][1]["serialNumber"], "1001");
    EXPECT_EQ(json["devices"][2]["node"], 12);
    EXPECT_EQ(json["devices"][2]["appVersion"], "отсутствует");
}

TEST_F(Vx40Scan, WrongRepliesAreWarningsNotDevicesAndNoDeviceEndsWith5) {
    sim->AddFault(3, *ParseFaultRule("16:every:other-node"));
    sim->AddFault(7, *ParseFaultRule("16:every:bad-checksum"));
    sim->AddFault(12, *ParseFaultRule("18:every:silence"));
    const ChildResult run = Vx40({"--json", "scan", "--nodes", "3,7,9,12"});
    EXPECT_EQ(run.exitCode, 5) << run.err;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["result"], -2005);
    EXPECT_EQ(json["devices"], nlohmann::json::array());
    std::vector<std::string> warnings;
    for (const std::string& text : Lines(run.err))
        if (text.rfind("warning: ", 0) == 0) warnings.push_back(text);
    // Node 12 answered the quick presence check; 3 and 7 are judged in the
    // full pass.
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "warning: node 12: answered, but its information was not read: "
                            "Ошибка обмена с устройством.",
                            "warning: node 3: the reply came from node 4",
                            "warning: node 7: a garbled reply",
                        }));
    EXPECT_EQ(Lines(run.err).back(), "Устройство Velmo 2.0 не обнаружено.");
}

TEST_F(Vx40Scan, ThroughAnEchoingAdapterASilentNodeIsSilence) {
    // Node 5 before anything is known of the line, 9 once its echo is known.
    StartLine(true);
    const ChildResult run = Vx40({"scan", "--nodes", "5,3,9,7"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, kRows.substr(0, kRows.find("\n12 ") + 1));
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    EXPECT_EQ(PresenceChecks(5), 2);
    EXPECT_EQ(PresenceChecks(9), 2);
}

TEST_F(Vx40Scan, ASlowDeviceIsFoundInTheFullPassAndListedAfterTheQuickOnes) {
    // The simulator answers one request at a time: node 3's late answer to
    // the quick pass comes while node 5 is being asked or after, and must
    // neither end up at node 5 nor take node 3's full-wait answer's place.
    sim->AddFault(3, *ParseFaultRule("any:every:delay:200"));
    const ChildResult run = Vx40({"scan", "--nodes", "7,12,3,5"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, Table({"7", "12", "3"}));
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("node 3 (1 of 2, full wait)"), std::string::npos) << run.err;
    EXPECT_EQ(PresenceChecks(3), 2);
}

TEST_F(Vx40Scan, InterruptPrintsWhatWasFoundAndEndsWith130) {
    ChildProcess vx40(VX40_EXE, Args({"scan"}));
    // Past the last device, into the silent nodes after it.
    ASSERT_TRUE(vx40.WaitForErr("node 14 (15 of 256)", 20000)) << vx40.Err();
    vx40.Signal(SIGINT);
    const ChildResult run = vx40.Finish(10000);
    EXPECT_EQ(run.exitCode, 130);
    EXPECT_EQ(run.out, kRows);
    EXPECT_EQ(Lines(run.err).back(), "Прервано пользователем.");
}

}  // namespace
