// The vx40 contract end to end: vx40 runs as a process against the
// simulated device on a pseudo-terminal, and the tests look at what a
// script would: stdout, stderr, the exit code, the files, and what reached
// the device.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "command_text.h"
#include "ser2net_server.h"
#include "sim/simulated_device.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const std::string kIdentityLines =
    "Тип устройства : VX40\n"
    "Серийный номер : 12345\n"
    "BOOT версия (дата): 01.02 (14.05.2015)\n"
    "APP версия (дата): 01.05 (25.03.2016)\n"
    "Требуемая вер. BOOT: 01.02\n";

// Module contents rich in the bytes the frame escapes.
Bytes ModuleBytes(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i % 5 == 0 ? 0x02 + i % 3 * 7 : i * 13 + i / 1030);
    return bytes;
}

class Vx40Command : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("vx40-command-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override {
        if (device) device->Stop();
        fs::remove_all(folder);
    }

    SimulatedDevice& StartDevice(SimOptions options = {}) {
        device = std::make_unique<SimulatedDevice>(options);
        EXPECT_TRUE(device->Start()) << device->LastError();
        return *device;
    }

    // vx40 with the device's port, run in the test's folder.
    ChildResult Vx40(std::vector<std::string> args) {
        args.insert(args.begin(), {"-p", device->SlavePath()});
        return RunChild(VX40_EXE, args, folder.string());
    }

    fs::path folder;
    std::unique_ptr<SimulatedDevice> device;
};

TEST_F(Vx40Command, InfoPrintsTheFiveIdentityLinesAndTheStatusOnStderr) {
    StartDevice();
    const ChildResult run = Vx40({"info"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, kIdentityLines);
    // stderr is a pipe here: one line per change of the status.
    EXPECT_EQ(Lines(run.err),
              (std::vector<std::string>{"Чтение данных 00%", "Чтение завершено 100%"}));

    const ChildResult quiet = Vx40({"-q", "info"});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.out, kIdentityLines);
    EXPECT_EQ(quiet.err, "");
}

TEST_F(Vx40Command, AShortInformationRecordReadsAsZerosBeyondItsEnd) {
    // Eight bytes: the type, the boot version and the low half of its date.
    SimOptions options;
    options.device.infoRecordLength = 8;
    StartDevice(options);
    const ChildResult run = Vx40({"-q", "info"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "Тип устройства : VX40\n"
              "Серийный номер : 0\n"
              "BOOT версия (дата): 01.02 (00.00.2015)\n"
              "APP версия (дата): 00.00 (00.00.0000)\n"
              "Требуемая вер. BOOT: 00.00\n");
}

TEST_F(Vx40Command, ADeviceTypeCannotSteerTheTerminal) {
    // ESC [ 2 J would clear the technician's screen.
    SimOptions options;
    options.device.deviceType = {0x1B, '[', '2', 'J'};
    StartDevice(options);
    const ChildResult info = Vx40({"-q", "info"});
    EXPECT_EQ(Lines(info.out).front(), "Тип устройства : ?[2J");
    const ChildResult scan = Vx40({"-q", "scan", "--nodes", "255"});
    EXPECT_EQ(Lines(scan.out).back().substr(0, 11), "255    ?[2J") << scan.out;
    // JSON carries the bytes, escaped.
    const ChildResult json = Vx40({"-q", "--json", "info"});
    EXPECT_NE(json.out.find("\\u001b[2J"), std::string::npos) << json.out;
}

TEST_F(Vx40Command, JsonIsOneObjectWithTheDialogsTextsAndOptionsMayFollowTheCommand) {
    SimOptions options;
    options.device.appVersion = kSimAbsentVersion;
    options.device.serialNumber = kSimAbsentSerial;
    options.device.requiredBootVersion = kSimAbsentVersion;
    StartDevice(options);
    const ChildResult run = Vx40({"info", "--json", "-n", "255", "-q"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(Lines(run.out).size(), 1u) << run.out;
    const auto json = nlohmann::json::parse(run.out);
    nlohmann::json expected = {
        {"result", 0}, {"message", ""}, {"port", device->SlavePath()}, {"node", 255}};
    expected["device"] = {{"deviceType", "VX40"},
                          {"serialNumber", "не задан"},
                          {"bootVersion", "01.02 (14.05.2015)"},
                          {"appVersion", "отсутствует"},
                          {"requiredBootVersion", "отсутствует"}};
    EXPECT_EQ(json, expected);
}

TEST_F(Vx40Command, WritesA112RecordModuleThatTheDeviceThenHolds) {
    StartDevice();
    const Bytes module = ModuleBytes(112 * 1030);
    WriteFile(folder / "module.vx4", module);
    const ChildResult run = Vx40({"--json", "write", "module.vx4"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["result"], 0);
    EXPECT_EQ(json["blocks"], 112);
    EXPECT_EQ(json["device"]["deviceType"], "VX40");

    ASSERT_EQ(device->ModuleBlocks().size(), 112u);
    ASSERT_TRUE(HoldsModule(device->ModuleBlocks(), module));
    // The status climbs block by block, one behind, and ends as the dialog's.
    const auto status = Lines(run.err);
    ASSERT_FALSE(status.empty());
    EXPECT_NE(std::find(status.begin(), status.end(), "Запись 99%"), status.end());
    EXPECT_EQ(status.back(), "Запись завершена 100%");
}

TEST_F(Vx40Command, BadModuleFilesEndWithCode3AndNoTraffic) {
    StartDevice();
    WriteFile(folder / "empty.vx4", {});
    WriteFile(folder / "short.vx4", ModuleBytes(1029));
    WriteFile(folder / "odd.vx4", ModuleBytes(1031));
    WriteFile(folder / "long.vx4", ModuleBytes(112 * 1030 + 1));
    fs::create_directories(folder / "folder.vx4");
    const std::string notModule = "Файл не является модулем устройства Velmo 2.0.";
    const std::string cannotOpen = "Ошибка открытия файла.";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty.vx4", notModule}, {"short.vx4", notModule},    {"odd.vx4", notModule},
        {"long.vx4", notModule},  {"missing.vx4", cannotOpen}, {"folder.vx4", cannotOpen},
    };
    for (const auto& [file, message] : cases) {
        const ChildResult run = Vx40({"-q", "write", file});
        EXPECT_EQ(run.exitCode, 3) << file;
        EXPECT_EQ(run.out, "") << file;
        const auto lines = Lines(run.err);
        ASSERT_EQ(lines.size(), 2u) << file << "\n" << run.err;
        EXPECT_EQ(lines[0], message) << file;
        // The second line names the file and says why.
        EXPECT_EQ(lines[1].rfind(file + ": ", 0), 0u) << lines[1];
    }
    EXPECT_TRUE(device->Requests().empty());
}

TEST_F(Vx40Command, BackupWritesTheBlocksAndReplacesAFileOnlyWithForce) {
    StartDevice();
    // The proposed name, in the current folder.
    ChildResult run = Vx40({"-q", "backup", "calibration"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "VX40_12345_CLB.vx4\n");
    const Bytes calibration(device->CalibrationRecord().begin(), device->CalibrationRecord().end());
    EXPECT_EQ(Contents(folder / "VX40_12345_CLB.vx4"), calibration);

    // Configuration into a file named in full: six records in address order.
    run = Vx40({"-q", "--json", "backup", "configuration", "-o", "saved.vx4"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["file"], "saved.vx4");
    Bytes configuration;
    for (int i = 0; i < 6; ++i)
        configuration.insert(configuration.end(), device->ConfigurationRecord(i).begin(),
                             device->ConfigurationRecord(i).end());
    EXPECT_EQ(Contents(folder / "saved.vx4"), configuration);

    // An existing file is refused, both named in full and by the proposed
    // name, and stays as it was.
    const Bytes old{'o', 'l', 'd'};
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"backup", "configuration", "-o", "saved.vx4"},
          std::vector<std::string>{"backup", "calibration"},
          std::vector<std::string>{"backup", "calibration", "-o", "."}}) {
        const fs::path target =
            folder /
            (args.size() == 4 && args[3] == "saved.vx4" ? "saved.vx4" : "VX40_12345_CLB.vx4");
        WriteFile(target, old);
        run = Vx40(args);
        EXPECT_EQ(run.exitCode, 3) << args.back();
        EXPECT_NE(run.err.find("exists"), std::string::npos) << run.err;
        EXPECT_EQ(Contents(target), old);
    }

    // --force replaces it; no temporary file is left beside it.
    run = Vx40({"-q", "backup", "configuration", "-o", "saved.vx4", "--force"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Contents(folder / "saved.vx4"), configuration);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}

TEST_F(Vx40Command, ActivateSendsCommand20AndPrintsNoDevice) {
    StartDevice();
    const ChildResult run = Vx40({"--json", "activate"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(device->Activations(), 1);
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["result"], 0);
    EXPECT_FALSE(json.contains("device"));
    EXPECT_EQ(Lines(run.err), std::vector<std::string>{"Приложение активировано. 100%"});
}

TEST_F(Vx40Command, ADeviceRefusalEndsWithCode6AndItsMessage) {
    SimOptions options;
    StartDevice(options);
    device->AddFault(*ParseFaultRule("19:3:refuse:253"));
    WriteFile(folder / "module.vx4", ModuleBytes(5 * 1030));
    const ChildResult run = Vx40({"-q", "--json", "write", "module.vx4"});
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_EQ(Lines(run.err),
              std::vector<std::string>{"Ошибка устройства. Ошибка записи данных в устройство."});
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["result"], -2103);
    EXPECT_EQ(json["blocks"], 2);
}

TEST_F(Vx40Command, EveryCommandWorksThroughAnEchoingAdapter) {
    SimOptions options;
    options.echo = true;
    StartDevice(options);
    EXPECT_EQ(Vx40({"-q", "info"}).out, kIdentityLines);

    const Bytes module = ModuleBytes(3 * 1030);
    WriteFile(folder / "module.vx4", module);
    ChildResult run = Vx40({"-q", "write", "module.vx4"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(device->ModuleBlocks().size(), 3u);
    EXPECT_TRUE(
        std::equal(module.begin(), module.begin() + 1030, device->ModuleBlocks()[0].begin()));

    run = Vx40({"-q", "backup", "calibration", "-o", "c.vx4"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Contents(folder / "c.vx4").size(), 1030u);
    run = Vx40({"-q", "backup", "configuration", "-o", "f.vx4"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Contents(folder / "f.vx4").size(), 6180u);
    EXPECT_EQ(Vx40({"-q", "activate"}).exitCode, 0);
    EXPECT_EQ(device->Activations(), 1);

    // A block whose first byte is the "accepted" status byte, refused: the
    // echo of the request must not pass for the device's acceptance.
    device->AddFault(*ParseFaultRule("19:every:refuse:255"));
    WriteFile(folder / "acks.vx4", Bytes(1030, 0x06));
    run = Vx40({"-q", "--json", "write", "acks.vx4"});
    EXPECT_EQ(run.exitCode, 6) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["result"], -2101);
}

TEST_F(Vx40Command, ANoisyEchoIsStillTheEchoAndTheReplyIsTakenAtOnce) {
    // An unbiased line reads a byte of noise at each turnaround, before the
    // echo: the presence check and the information request go out once each.
    SimOptions options;
    options.echo = options.echoNoise = true;
    options.device.node = 7;
    StartDevice(options);
    EXPECT_EQ(Vx40({"-q", "-n", "7", "info"}).out, kIdentityLines);
    EXPECT_EQ(device->Requests().size(), 2u);
}

TEST_F(Vx40Command, AMissingPortEndsWithCode4AndTheSystemsReason) {
    const ChildResult run =
        RunChild(VX40_EXE, {"-p", "/dev/vx40-no-such-port", "info"}, folder.string());
    EXPECT_EQ(run.exitCode, 4);
    const auto lines = Lines(run.err);
    ASSERT_EQ(lines.size(), 2u) << run.err;
    EXPECT_EQ(lines[0], "COM-порт не открывается.");
    EXPECT_EQ(lines[1], "/dev/vx40-no-such-port: cannot open: No such file or directory");
}

TEST_F(Vx40Command, ANodeOutsideTheRangeIsAUsageError) {
    for (const char* node : {"300", "256", "-1", "abc", "", "0x10"}) {
        const ChildResult run =
            RunChild(VX40_EXE, {"-p", "/dev/vx40-no-such-port", "-n", node, "info"});
        EXPECT_EQ(run.exitCode, 2) << node;
        EXPECT_EQ(run.out, "") << node;
    }
    // In range, it reaches the port.
    const ChildResult run = RunChild(VX40_EXE, {"-p", "/dev/vx40-no-such-port", "info", "-n", "0"});
    EXPECT_EQ(run.exitCode, 4);
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"backup"},
                                                 {"backup", "firmware"},
                                                 {"write"},
                                                 {"frobnicate"},
                                                 {"--rs485", "-p", "socket://gw:4001", "info"},
                                                 {"--rs485=101,0", "info"},
                                                 {"--rs485=5", "info"},
                                                 {"--rs485", "rollout", "plan.toml"}}) {
        EXPECT_EQ(RunChild(VX40_EXE, args).exitCode, 2) << (args.empty() ? "" : args[0]);
    }
    EXPECT_EQ(RunChild(VX40_EXE, {"--help"}).exitCode, 0);
}

TEST_F(Vx40Command, TimeoutEndsTheSearchWithCode5AndSaysWhatFailed) {
    const struct {
        const char* fault;
        bool echo;
        int result;
        const char* message;
    } cases[] = {
        {"any:every:silence", false, -2005, "Устройство Velmo 2.0 не обнаружено."},
        // The presence check is answered; the information request's four
        // attempts would take a second, so the time runs out in the middle of
        // them: a device is there, the exchange with it failed.
        {"18:every:silence", false, -2011, "Ошибка обмена с устройством."},
        // Through an echoing adapter the request's own bytes alone are
        // silence too, not a three-byte reply from a broken device.
        {"any:every:silence", true, -2005, "Устройство Velmo 2.0 не обнаружено."},
        {"18:every:silence", true, -2011, "Ошибка обмена с устройством."},
    };
    for (const auto& c : cases) {
        SimOptions options;
        options.echo = c.echo;
        StartDevice(options);
        device->AddFault(*ParseFaultRule(c.fault));
        const ChildResult run = Vx40({"--json", "info", "--timeout", "0.5"});
        EXPECT_EQ(run.exitCode, 5) << c.fault << c.echo;
        EXPECT_EQ(Lines(run.err).back(), c.message) << c.fault << c.echo;
        const auto json = nlohmann::json::parse(run.out);
        EXPECT_EQ(json["result"], c.result) << c.fault << c.echo;
        EXPECT_FALSE(json.contains("device")) << c.fault << c.echo;
    }
}

TEST_F(Vx40Command, TraceShowsEveryFrameWithDirectionAndTime) {
    StartDevice();
    const ChildResult run = Vx40({"-q", "--trace", "activate"});
    EXPECT_EQ(run.exitCode, 0);
    const auto lines = Lines(run.err);
    ASSERT_EQ(lines.size(), 2u) << run.err;
    const std::regex frame(R"(\[ *\d+\.\d{3} ms\] (tx|rx)( [0-9A-F]{2})+)");
    EXPECT_TRUE(std::regex_match(lines[0], frame)) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].find(']')), "] tx 02 00 FF 14 EC 03");
    EXPECT_TRUE(std::regex_match(lines[1], frame)) << lines[1];
    EXPECT_NE(lines[1].find("] rx 02 00 FF 14 06"), std::string::npos) << lines[1];
}

// Ctrl-C against the simulator program: a search on a silent line ends
// as Stop ends it, with its own message and code 130.
TEST_F(Vx40Command, InterruptDuringASearchEndsWithCode130) {
    ChildProcess sim(VX40_SIM_EXE, {"--fault", "any:every:silence"});
    ASSERT_TRUE(sim.WaitForOut("\n", 10000));
    const std::string port = Lines(sim.Out()).at(0);

    ChildProcess vx40(VX40_EXE, {"-p", port, "info"});
    ASSERT_TRUE(vx40.WaitForErr("Чтение данных 00%", 10000)) << vx40.Err();
    // Well into the search: at least one unanswered presence check.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto interrupted = std::chrono::steady_clock::now();
    vx40.Signal(SIGINT);
    const ChildResult run = vx40.Finish(10000);
    const auto took = std::chrono::steady_clock::now() - interrupted;
    EXPECT_EQ(run.exitCode, 130);
    EXPECT_EQ(Lines(run.err).back(), "Прервано пользователем.");
    // The channel looks at Stop at every reply wait of 250 ms; a generous bound.
    EXPECT_LT(took, std::chrono::seconds(5));

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Finish(10000).exitCode, 0);
}

// An adapter pulled out and plugged in again: the simulator's port vanishes
// on the first request and comes back 1.5 s later at the same link. A
// search opens it again and finds the device; the doctor probes it again
// and says that it was away. Through a serial server, the server drops the
// connection and the search connects again.
TEST_F(Vx40Command, APortThatGoesAndComesBackIsOpenedAgain) {
    struct Case {
        std::vector<std::string> args;
        std::string found;   // on stdout
        std::string notice;  // on stdout or stderr
        bool network = false;
    };
    const Case cases[] = {
        {{"info", "--timeout", "20"}, "Серийный номер : 12345", "the port is back; searching on"},
        {{"doctor"}, "answered: node 255 answered", "went away during the probe (read: "},
        {{"info", "--timeout", "20"},
         "Серийный номер : 12345",
         "the port is gone (the connection to the server was lost)",
         true},
    };
    const std::string link = (folder / "port").string();
    for (const Case& c : cases) {
        if (c.network && Ser2netProgram().empty()) continue;
        ChildProcess sim(VX40_SIM_EXE, {"--link", link, "--vanish", "1:1500"});
        ASSERT_TRUE(sim.WaitForOut("\n", 10000));
        Ser2netServer server(link, ServerKind::kRaw);
        if (c.network) {
            ASSERT_TRUE(server.Start());
        }
        std::vector<std::string> args{"-p", c.network ? server.Url() : link};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ChildResult run = RunChild(VX40_EXE, args, folder.string());
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_NE(run.out.find(c.found), std::string::npos) << run.out;
        EXPECT_NE((run.out + run.err).find(c.notice), std::string::npos) << run.out << run.err;
        sim.Signal(SIGTERM);
        const ChildResult served = sim.Finish(10000);
        EXPECT_EQ(served.exitCode, 0);
        EXPECT_NE(served.err.find("the port is back at"), std::string::npos) << served.err;
    }
}

}  // namespace
