// The vx40-sim program as a process: first line, link, a reply, and a clean
// end on SIGTERM.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "sim/device_responder.h"
#include "slave_port.h"

extern char** environ;

namespace {

// Runs vx40-sim with its stdout on a pipe; kills it if a test leaves it running.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        std::string program = VX40_SIM_EXE;
        std::vector<char*> argv{program.data()};
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VX40_SIM_EXE, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        out_ = ::fdopen(pipeFds[0], "r");
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) std::fclose(out_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Running() const { return pid_ > 0; }

    std::string FirstLine() {
        char line[PATH_MAX];
        if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr) return {};
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }

    // Sends the signal and returns the wait status.
    int SignalAndWait(int signal) {
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_ = -1;
    std::FILE* out_ = nullptr;
};

TEST(SimProcess, PrintsThePathServesAndEndsCleanlyOnSigterm) {
    const std::string link = testing::TempDir() + "vx40-sim-link-" + std::to_string(::getpid());
    SimProcess sim({"--link", link, "--node", "7", "--fault", "18:1:refuse:253"});
    ASSERT_TRUE(sim.Running());
    const std::string path = sim.FirstLine();
    ASSERT_FALSE(path.empty());
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    EXPECT_TRUE(S_ISCHR(status.st_mode));
    char target[PATH_MAX] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), path);

    {
        slave_port::SlavePort port(link);
        ASSERT_TRUE(port.IsOpen());
        ASSERT_TRUE(port.Send(SimEncodeFrame(std::vector<std::uint8_t>{0, 7, 16})));
        EXPECT_EQ(slave_port::Decode(port.ReadFrame(2000)),
                  (std::vector<std::uint8_t>{0, 7, 16, 6}));
        ASSERT_TRUE(port.Send(SimEncodeFrame(std::vector<std::uint8_t>{1, 7, 18})));
        EXPECT_EQ(slave_port::Decode(port.ReadFrame(2000)),
                  (std::vector<std::uint8_t>{1, 7, 18, 0x15, 253}));
    }

    const int wait = sim.SignalAndWait(SIGTERM);
    ASSERT_TRUE(WIFEXITED(wait));
    EXPECT_EQ(WEXITSTATUS(wait), 0);
    struct stat gone {};
    EXPECT_NE(::lstat(link.c_str(), &gone), 0);
}

TEST(SimProcess, DeviceOptionsPutSeveralDevicesOnTheLine) {
    SimProcess sim({"--device", "3", "--device", "7:AB:0x1001", "--serial", "42"});
    ASSERT_TRUE(sim.Running());
    slave_port::SlavePort port(sim.FirstLine());
    ASSERT_TRUE(port.IsOpen());
    auto info = [&port](std::uint8_t seq, std::uint8_t node) {
        EXPECT_TRUE(port.Send(SimEncodeFrame(std::vector<std::uint8_t>{seq, node, 18})));
        return slave_port::Decode(port.ReadFrame(node == 5 ? 300 : 2000))
            .value_or(std::vector<std::uint8_t>{});
    };
    // Type and serial: the device's own, or --type and --serial.
    const auto three = info(0, 3);
    ASSERT_EQ(three.size(), 29u);
    EXPECT_EQ(std::vector<std::uint8_t>(three.begin() + 4, three.begin() + 8),
              (std::vector<std::uint8_t>{'V', 'X', '4', '0'}));
    EXPECT_EQ(std::vector<std::uint8_t>(three.begin() + 26, three.end()),
              (std::vector<std::uint8_t>{42, 0, 0}));
    const auto seven = info(1, 7);
    ASSERT_EQ(seven.size(), 29u);
    EXPECT_EQ(std::vector<std::uint8_t>(seven.begin() + 4, seven.begin() + 8),
              (std::vector<std::uint8_t>{'A', 'B', 0, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(seven.begin() + 26, seven.end()),
              (std::vector<std::uint8_t>{0x01, 0x10, 0}));
    EXPECT_TRUE(info(2, 5).empty());
}

TEST(SimProcess, RefusesTwoDevicesAtOneNodeAndDeviceWithNode) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--device", "3", "--device", "3:AB:1"},
          std::vector<std::string>{"--device", "3", "--node", "4"},
          std::vector<std::string>{"--device", "256"},
          std::vector<std::string>{"--device", "3:ABCDE:1"}}) {
        SimProcess sim(args);
        ASSERT_TRUE(sim.Running());
        EXPECT_TRUE(sim.FirstLine().empty()) << args[1];
        const int wait = sim.SignalAndWait(0);
        ASSERT_TRUE(WIFEXITED(wait));
        EXPECT_NE(WEXITSTATUS(wait), 0) << args[1];
    }
}

TEST(SimProcess, EndsCleanlyOnSigint) {
    SimProcess sim({});
    ASSERT_TRUE(sim.Running());
    ASSERT_FALSE(sim.FirstLine().empty());
    const int wait = sim.SignalAndWait(SIGINT);
    ASSERT_TRUE(WIFEXITED(wait));
    EXPECT_EQ(WEXITSTATUS(wait), 0);
}

TEST(SimProcess, RejectsAMalformedFaultRule) {
    SimProcess sim({"--fault", "19:first:silence"});
    ASSERT_TRUE(sim.Running());
    EXPECT_TRUE(sim.FirstLine().empty());
    const int wait = sim.SignalAndWait(0);  // already ending; signal 0 only checks
    ASSERT_TRUE(WIFEXITED(wait));
    EXPECT_NE(WEXITSTATUS(wait), 0);
}

}  // namespace
