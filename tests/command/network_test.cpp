// vx40 through a serial server on the network: ser2net in front of the
// simulated device, once as raw TCP (socket://) and once as Telnet with
// RFC 2217 (rfc2217://). Every case runs through both kinds unless it only
// means something for one. `info` also runs once through sredird.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <cstdlib>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "child_process.h"
#include "command_text.h"
#include "ser2net_server.h"
#include "sim/simulated_device.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Processor time, user and system, of the children ended and waited for.
double ChildrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string LastLine(const std::string& text) {
    const auto lines = Lines(text);
    return lines.empty() ? std::string() : lines.back();
}

// Every third byte is one the frame escapes or Telnet doubles, runs of 0xFF
// included, so that both escapings meet in the same stream.
Bytes ModuleBytes(std::size_t size) {
    static constexpr std::uint8_t kSpecial[] = {0xFF, 0x02, 0xFF, 0x03, 0x10, 0xFF};
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = i % 3 == 0 ? kSpecial[i / 3 % 6] : static_cast<std::uint8_t>(i * 13 + i / 1030);
    return bytes;
}

class NetworkCommand : public ::testing::TestWithParam<ServerKind> {
  protected:
    void SetUp() override {
        if (Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed";
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            c = c == '/' ? '_' : c;
        folder =
            fs::temp_directory_path() / ("vx40-network-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override {
        server.reset();
        device.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    bool Rfc2217() const { return GetParam() == ServerKind::kRfc2217; }
    std::string Scheme() const { return Rfc2217() ? "rfc2217://" : "socket://"; }

    // The simulated device with ser2net in front of it.
    ::testing::AssertionResult Serve(SimOptions options = {}) {
        server.reset();
        device = std::make_unique<SimulatedDevice>(options);
        if (!device->Start()) return ::testing::AssertionFailure() << device->LastError();
        server = std::make_unique<Ser2netServer>(device->SlavePath(), GetParam());
        return server->Start();
    }
    std::vector<std::string> Through(std::vector<std::string> args, const std::string& port) {
        args.insert(args.begin(), {"-p", port});
        return args;
    }
    ChildResult Vx40(std::vector<std::string> args) {
        return RunChild(VX40_EXE, Through(std::move(args), server->Url()), folder.string());
    }
    // Interrupts the child as Ctrl-C would and expects it to end as Stop
    // ends a command, in well under 5 s (it looks at Stop every 250 ms).
    void ExpectInterruptEnds(ChildProcess& child) {
        const auto interrupted = Clock::now();
        child.Signal(SIGINT);
        const ChildResult run = child.Finish(10000);
        EXPECT_LT(Clock::now() - interrupted, std::chrono::seconds(5));
        EXPECT_EQ(run.exitCode, 130) << run.err;
        EXPECT_EQ(LastLine(run.err), "Прервано пользователем.");
    }

    fs::path folder;
    std::unique_ptr<SimulatedDevice> device;
    std::unique_ptr<Ser2netServer> server;
};

TEST_P(NetworkCommand, EveryCommandWorksAsOnALocalPort) {
    ASSERT_TRUE(Serve());
    // The same identity as the device's own port gives.
    const ChildResult local =
        RunChild(VX40_EXE, {"-q", "-p", device->SlavePath(), "info"}, folder.string());
    ASSERT_EQ(local.exitCode, 0) << local.err;
    ASSERT_EQ(Lines(local.out).size(), 5u) << local.out;
    ChildResult run = Vx40({"-q", "info"});
    EXPECT_EQ(run.exitCode, 0) << run.err << server->Log();
    EXPECT_EQ(run.out, local.out);

    const Bytes module = ModuleBytes(112 * 1030);
    WriteFile(folder / "module.vx4", module);
    run = Vx40({"-q", "write", "module.vx4"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(device->ModuleBlocks().size(), 112u);
    ASSERT_TRUE(HoldsModule(device->ModuleBlocks(), module));

    run = Vx40({"-q", "backup", "calibration", "-o", "c.vx4"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Contents(folder / "c.vx4"),
              Bytes(device->CalibrationRecord().begin(), device->CalibrationRecord().end()));
    run = Vx40({"-q", "backup", "configuration", "-o", "f.vx4"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    Bytes configuration;
    for (int i = 0; i < 6; ++i)
        configuration.insert(configuration.end(), device->ConfigurationRecord(i).begin(),
                             device->ConfigurationRecord(i).end());
    EXPECT_EQ(Contents(folder / "f.vx4"), configuration);

    EXPECT_EQ(Vx40({"-q", "activate"}).exitCode, 0);
    EXPECT_EQ(device->Activations(), 1);
}

TEST_P(NetworkCommand, AServerThatCannotBeReachedEndsWithCode4AndTheReason) {
    SilentServer silent;
    ASSERT_TRUE(silent.Listening());
    DeafServer deaf;
    ASSERT_TRUE(deaf.Listening());
    const std::string free = std::to_string(FreeLoopbackPort());
    const struct {
        std::string port;
        const char* reason;  // a part of the second line
        bool runs;           // whether the case means something for this kind of server
    } cases[] = {
        {Scheme() + "127.0.0.1:" + free, "refused", true},
        {Scheme() + "no-such-host.invalid:" + free, "no-such-host.invalid", true},
        // A raw connection has no negotiation to wait for.
        {Scheme() + "127.0.0.1:" + std::to_string(silent.Port()), "", Rfc2217()},
        // The connection is made alike for both kinds; once is enough.
        {Scheme() + "127.0.0.1:" + std::to_string(deaf.Port()), "no answer within 3000 ms",
         !Rfc2217()},
    };
    for (const auto& c : cases) {
        if (!c.runs) continue;
        const auto started = Clock::now();
        const ChildResult run =
            RunChild(VX40_EXE, Through({"-q", "info"}, c.port), folder.string());
        // The connection and the negotiation are bounded by 3 s.
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(10)) << c.port;
        EXPECT_EQ(run.exitCode, 4) << c.port;
        const auto lines = Lines(run.err);
        ASSERT_EQ(lines.size(), 2u) << c.port << "\n" << run.err;
        EXPECT_EQ(lines[0], "COM-порт не открывается.");
        EXPECT_NE(lines[1].find(c.reason), std::string::npos) << lines[1];
        EXPECT_GT(lines[1].size(), std::string(c.reason).size()) << c.port;
    }
}

TEST_P(NetworkCommand, TheServerDyingEndsWithCode5AndLeavesNoFile) {
    std::ofstream(folder / "module.vx4", std::ios::binary) << std::string(20 * 1030, '\x10');
    const struct {
        std::vector<std::string> args;
        std::size_t requestsBeforeKill;  // identification takes two
    } cases[] = {
        {{"write", "module.vx4"}, 8},
        {{"backup", "configuration", "-o", "saved.vx4"}, 4},
    };
    for (const auto& c : cases) {
        // Replies come 100 ms late, so that the kill lands inside the command.
        SimOptions options;
        options.replyDelayMs = 100;
        ASSERT_TRUE(Serve(options));
        const double cpuBefore = ChildrenCpuSeconds();
        ChildProcess vx40(VX40_EXE, Through(c.args, server->Url()), folder.string());
        ASSERT_TRUE(device->WaitForRequests(c.requestsBeforeKill, 10000))
            << c.args[0] << server->Log();
        const auto killed = Clock::now();
        server->Kill();
        const ChildResult run = vx40.Finish(10000);
        EXPECT_LT(Clock::now() - killed, std::chrono::seconds(5)) << c.args[0];
        // The ended connection fails the read at once: no reply wait spent
        // spinning on a socket that is always readable. (The whole command
        // takes some tens of ms of processor time; a spin, every ms of it.)
        EXPECT_LT(ChildrenCpuSeconds() - cpuBefore, 0.3) << c.args[0];
        EXPECT_EQ(run.exitCode, 5) << c.args[0] << "\n" << run.err;
        EXPECT_EQ(LastLine(run.err), "Ошибка обмена с устройством.") << c.args[0];
        // Nothing beside the module: no backup, no temporary file.
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
            << c.args[0];
    }
}

TEST_P(NetworkCommand, InterruptDuringTheConnectionOrTheSearchEndsWithCode130) {
    {
        // A server that never takes the connection: vx40 is connecting.
        DeafServer deaf;
        ASSERT_TRUE(deaf.Listening());
        const std::string port = Scheme() + "127.0.0.1:" + std::to_string(deaf.Port());
        ChildProcess vx40(VX40_EXE, Through({"info"}, port), folder.string());
        ASSERT_TRUE(deaf.WaitForAttempt(10000)) << vx40.Err();
        ExpectInterruptEnds(vx40);
    }
    {
        // A server that never answers: over RFC 2217 vx40 is still
        // negotiating, over raw TCP it is searching.
        SilentServer silent;
        ASSERT_TRUE(silent.Listening());
        const std::string port = Scheme() + "127.0.0.1:" + std::to_string(silent.Port());
        ChildProcess vx40(VX40_EXE, Through({"info"}, port), folder.string());
        ASSERT_TRUE(silent.WaitForConnection(10000)) << vx40.Err();
        ExpectInterruptEnds(vx40);
    }

    ASSERT_TRUE(Serve());
    device->AddFault(*ParseFaultRule("any:every:silence"));
    ChildProcess vx40(VX40_EXE, Through({"info"}, server->Url()), folder.string());
    ASSERT_TRUE(device->WaitForRequests(1, 10000)) << vx40.Err() << server->Log();

    // While vx40 holds the connection, the line runs at the device's 57600
    // baud with one stop bit when vx40 set it over RFC 2217, and a raw server
    // keeps its own 9600 baud with two. (ser2net puts back the settings it
    // found when the connection ends, and a pseudo-terminal always reports 8
    // bits without parity, so only these two show, and only now.)
    termios line{};
    const int fd = ::open(device->SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    const bool read = fd >= 0 && ::tcgetattr(fd, &line) == 0;
    if (fd >= 0) ::close(fd);
    ASSERT_TRUE(read) << device->SlavePath();
    EXPECT_EQ(::cfgetospeed(&line), static_cast<speed_t>(Rfc2217() ? B57600 : B9600));
    EXPECT_EQ((line.c_cflag & CSTOPB) != 0, !Rfc2217());

    ExpectInterruptEnds(vx40);
}

// The reply wait runs from the moment the frame has left the remote line,
// plus the port name's latency allowance, and the echo rule holds behind a
// server as on a local adapter.
TEST_P(NetworkCommand, TheReplyWaitCountsTheLineTimeTheLatencyAndTheEcho) {
    // Every byte escaped: each block's frame is some 360 ms on the line,
    // longer than the wait itself, which then has to start at its end.
    WriteFile(folder / "module.vx4", Bytes(2 * 1030, 0x10));
    const struct {
        const char* what;
        bool pace, echo;
        int replyDelayMs;
        std::string query;  // after the port name
        std::vector<std::string> args;
        int exitCode;
        long result;
        std::size_t requests;  // 0: not counted
    } cases[] = {
        // clang-format off
        // write: two blocks, two requests either side; info: two requests
        {"paced escape-rich blocks, no latency", true, false, 0, "?latency=0",
         {"--json", "write", "module.vx4"}, 0, 0, 6},
        {"a 400 ms reply, 1000 ms latency", false, false, 400, "?latency=1000",
         {"--json", "info"}, 0, 0, 2},
        {"an echoing line", false, true, 0, "",
         {"--json", "info"}, 0, 0, 2},
        {"an echoing line, nobody at the node", false, true, 0, "",
         {"--json", "-n", "12", "info", "--timeout", "1"}, 5, -2005, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimOptions options;
        options.pace = c.pace;
        options.echo = c.echo;
        options.replyDelayMs = c.replyDelayMs;
        ASSERT_TRUE(Serve(options));
        const ChildResult run =
            RunChild(VX40_EXE, Through(c.args, server->Url() + c.query), folder.string());
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        const auto json = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_FALSE(json.is_discarded()) << run.out << run.err;
        EXPECT_EQ(json["result"], c.result);
        // Answered on the first request each: none asked again.
        if (c.requests != 0) {
            EXPECT_EQ(device->Requests().size(), c.requests);
        }
    }
}

TEST_P(NetworkCommand, DoctorNamesTheLatencyThatTakesALateReply) {
    SimOptions options;
    options.replyDelayMs = 450;  // past the 250 ms wait and the default 100 ms allowance
    ASSERT_TRUE(Serve(options));
    const ChildResult late = Vx40({"-q", "doctor"});
    EXPECT_EQ(late.exitCode, 5) << late.err;
    EXPECT_EQ(late.out.rfind("late: node 255 answered ", 0), 0u) << late.out;
    // The advice: this server's port with an allowance that takes the reply.
    const std::string advice = "try -p '" + server->Url() + "?latency=";
    const std::size_t at = late.out.find(advice);
    ASSERT_NE(at, std::string::npos) << late.out;
    const int latency = std::atoi(late.out.c_str() + at + advice.size());
    const int replyMs = std::stoi(late.out.substr(sizeof "late: node 255 answered " - 1));
    EXPECT_EQ(latency, ((replyMs - 250) * 3 / 2 + 49) / 50 * 50) << late.out;

    const ChildResult taken = RunChild(
        VX40_EXE,
        Through({"-q", "--json", "doctor"}, server->Url() + "?latency=" + std::to_string(latency)),
        folder.string());
    EXPECT_EQ(taken.exitCode, 0) << taken.err;
    const auto json = nlohmann::json::parse(taken.out, nullptr, false);
    EXPECT_EQ(json["verdict"], "answered") << taken.out;
    EXPECT_FALSE(json.contains("adapter"));
}

// sredird answers the rate with eight value bytes where RFC 2217 has four.
TEST(Sredird, InfoWorksThroughIt) {
    if (::access("/usr/sbin/sredird", X_OK) != 0 || ::access("/usr/bin/socat", X_OK) != 0)
        GTEST_SKIP() << "sredird or socat is not installed";
    SimulatedDevice device;
    ASSERT_TRUE(device.Start());
    Ser2netServer server(device.SlavePath(), ServerKind::kSredird);
    ASSERT_TRUE(server.Start());
    const ChildResult run = RunChild(VX40_EXE, {"-q", "-p", server.Url(), "info"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(device.Requests().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Server, NetworkCommand,
                         ::testing::Values(ServerKind::kRaw, ServerKind::kRfc2217),
                         [](const auto& kind) {
                             return kind.param == ServerKind::kRaw ? "Raw" : "Rfc2217";
                         });

}  // namespace
