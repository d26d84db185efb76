// The line vanishes at every phase of every command, as when the technician
// pulls the adapter: before the port is opened, in each exchange of the
// identification, the blocks and the backup reads, in the pause before the
// first block, and with half a reply on the line. Each time the command must
// end soon with the code of the phase it was in, let go of the port, and
// leave no file behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app/command_worker.h"
#include "line_rig.h"
#include "pty_peer.h"

namespace {

using namespace std::chrono_literals;

// A block of a module file in these tests; five blocks make an early, a
// middle and a last one.
constexpr int kRecords = 5;
// The bound from the unplug to the end of the command.
constexpr double kEndWithinSeconds = 1.5;

enum class Trigger {
    kBeforeCommand,  // the adapter is gone before the command starts
    kAfterFrames,    // the line closes on receiving request `frame`, unanswered
    kDuringPause,    // in the module writer's pause before the first block
    kMidReply,       // while the reply to request `frame` is half on the line
};

struct UnplugCase {
    const char* name;
    int button;
    Trigger trigger;
    int frame;
    ResultCode expected;
};

void PrintTo(const UnplugCase& c, std::ostream* out) {
    *out << c.name;
}

// The commands' requests, in order, when nothing goes wrong:
//   search         16 18
//   write          16 18 19 19 19 19 19 16 18
//   configuration  16 18 21 21 21 21 21 21
//   calibration    16 18 21
//   activation     20
// A presence check that gets no reply means "no device" (-2005); any other
// exchange that fails is an exchange failure (-2011); a port that is not
// there cannot be opened (-2016).
const UnplugCase kCases[] = {
    {"SearchBefore", kIdSearch, Trigger::kBeforeCommand, 0, kErrPortOpen},

    {"WriteBefore", kIdWriteModule, Trigger::kBeforeCommand, 0, kErrPortOpen},
    {"WritePresence", kIdWriteModule, Trigger::kAfterFrames, 1, kErrNoDevice},
    {"WriteInformation", kIdWriteModule, Trigger::kAfterFrames, 2, kErrExchange},
    {"WritePauseBeforeBlocks", kIdWriteModule, Trigger::kDuringPause, 0, kErrExchange},
    {"WriteFirstBlock", kIdWriteModule, Trigger::kAfterFrames, 3, kErrExchange},
    {"WriteMiddleBlock", kIdWriteModule, Trigger::kAfterFrames, 5, kErrExchange},
    {"WriteMiddleBlockHalfReply", kIdWriteModule, Trigger::kMidReply, 5, kErrExchange},
    {"WriteLastBlock", kIdWriteModule, Trigger::kAfterFrames, 7, kErrExchange},
    {"WriteSecondPresence", kIdWriteModule, Trigger::kAfterFrames, 8, kErrNoDevice},
    {"WriteSecondInformation", kIdWriteModule, Trigger::kAfterFrames, 9, kErrExchange},

    {"ConfigurationBefore", kIdSaveConfiguration, Trigger::kBeforeCommand, 0, kErrPortOpen},
    {"ConfigurationPresence", kIdSaveConfiguration, Trigger::kAfterFrames, 1, kErrNoDevice},
    {"ConfigurationInformation", kIdSaveConfiguration, Trigger::kAfterFrames, 2, kErrExchange},
    {"ConfigurationRead1", kIdSaveConfiguration, Trigger::kAfterFrames, 3, kErrExchange},
    {"ConfigurationRead2", kIdSaveConfiguration, Trigger::kAfterFrames, 4, kErrExchange},
    {"ConfigurationRead3", kIdSaveConfiguration, Trigger::kAfterFrames, 5, kErrExchange},
    {"ConfigurationRead4", kIdSaveConfiguration, Trigger::kAfterFrames, 6, kErrExchange},
    {"ConfigurationRead5", kIdSaveConfiguration, Trigger::kAfterFrames, 7, kErrExchange},
    {"ConfigurationRead6", kIdSaveConfiguration, Trigger::kAfterFrames, 8, kErrExchange},
    {"ConfigurationRead6HalfReply", kIdSaveConfiguration, Trigger::kMidReply, 8, kErrExchange},

    {"CalibrationBefore", kIdSaveCalibration, Trigger::kBeforeCommand, 0, kErrPortOpen},
    {"CalibrationPresence", kIdSaveCalibration, Trigger::kAfterFrames, 1, kErrNoDevice},
    {"CalibrationInformation", kIdSaveCalibration, Trigger::kAfterFrames, 2, kErrExchange},
    {"CalibrationRead", kIdSaveCalibration, Trigger::kAfterFrames, 3, kErrExchange},

    {"ActivationBefore", kIdActivate, Trigger::kBeforeCommand, 0, kErrPortOpen},
    {"Activation", kIdActivate, Trigger::kAfterFrames, 1, kErrExchange},
};

std::vector<int> RequestsOf(int button) {
    switch (button) {
        case kIdSearch:
            return {16, 18};
        case kIdWriteModule:
            return {16, 18, 19, 19, 19, 19, 19, 16, 18};
        case kIdSaveConfiguration:
            return {16, 18, 21, 21, 21, 21, 21, 21};
        case kIdSaveCalibration:
            return {16, 18, 21};
        default:
            return {20};
    }
}

// How many descriptors of this process are open on the character device
// `device`; the link in /proc still leads to a terminal whose node is gone.
int DescriptorsOn(dev_t device) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat info {};
        if (stat(entry.path().c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
            info.st_rdev == device)
            ++count;
    }
    return count;
}

// Holds the terminal's number for the test: while any descriptor of the
// slave stays open the system does not give the number to a new
// pseudo-terminal, so the path cannot come back as somebody else's line
// (tests run in parallel) between the unplug and the checks.
class Keeper {
  public:
    explicit Keeper(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        struct stat info {};
        if (fd_ >= 0 && fstat(fd_, &info) == 0) device_ = info.st_rdev;
    }
    ~Keeper() {
        if (fd_ >= 0) close(fd_);
    }
    Keeper(const Keeper&) = delete;
    Keeper& operator=(const Keeper&) = delete;
    bool Valid() const { return fd_ >= 0; }
    dev_t Device() const { return device_; }

  private:
    int fd_;
    dev_t device_ = 0;
};

std::int64_t NowUs() {
    return SimulatedDevice::NowUs();
}

class RobustnessUnplug : public ::testing::TestWithParam<UnplugCase> {};

TEST_P(RobustnessUnplug, EndsPromptlyReleasesThePortAndWritesNothing) {
    const UnplugCase& c = GetParam();
    SimOptions options;
    if (c.trigger == Trigger::kAfterFrames) options.unplugAfterFrames = c.frame;
    LineRig rig(options);
    if (c.trigger == Trigger::kMidReply) {
        // The reply goes out in two halves 300 ms apart; the cable comes out
        // between them.
        const auto all = RequestsOf(c.button);
        const auto end = all.begin() + c.frame;
        const int command = *(end - 1);
        rig.device.AddFault({command, static_cast<int>(std::count(all.begin(), end, command)),
                             FaultKind::kSplit, 2, 300});
    }
    ASSERT_TRUE(rig.Start());
    const std::string port = rig.device.SlavePath();
    const Keeper keeper(port);
    ASSERT_TRUE(keeper.Valid());
    rig.UseModuleFile(kRecords * 1030);
    rig.dialog.AnswerSave({true, (rig.folder / "backup.vx4").string(), 0});
    const auto before = rig.FolderEntries();

    std::atomic<std::int64_t> unpluggedAtUs{0};
    auto unplug = [&] {
        unpluggedAtUs = NowUs();
        rig.device.Unplug();
    };
    if (c.trigger == Trigger::kBeforeCommand) unplug();
    std::thread cutter([&] {
        if (c.trigger == Trigger::kDuringPause) {
            for (int i = 0; i < 500; ++i) {
                const auto history = rig.dialog.StatusHistory();
                if (!history.empty() && history.back() == "Запись 00%") break;
                std::this_thread::sleep_for(2ms);
            }
            unplug();
        } else if (c.trigger == Trigger::kMidReply) {
            if (rig.device.WaitForRequests(static_cast<std::size_t>(c.frame), 5000))
                std::this_thread::sleep_for(100ms);
            unplug();
        }
    });

    const ResultCode result = RunCommand(rig.context, c.button);
    const std::int64_t endedUs = NowUs();
    cutter.join();

    EXPECT_EQ(result, c.expected);
    // The phase was the one named: every request up to the unplug arrived,
    // and nothing came after it.
    const auto all = RequestsOf(c.button);
    std::size_t reached = 0;
    if (c.trigger == Trigger::kAfterFrames || c.trigger == Trigger::kMidReply)
        reached = static_cast<std::size_t>(c.frame);
    if (c.trigger == Trigger::kDuringPause) reached = 2;
    EXPECT_EQ(rig.Commands(),
              std::vector<int>(all.begin(), all.begin() + static_cast<long>(reached)));

    if (c.trigger == Trigger::kAfterFrames) {
        // The device closes the line right after taking the last request.
        const auto requests = rig.device.Requests();
        ASSERT_FALSE(requests.empty());
        unpluggedAtUs = requests.back().atUs;
    }
    const double seconds = static_cast<double>(endedUs - unpluggedAtUs) / 1e6;
    EXPECT_LT(seconds, kEndWithinSeconds);
    std::printf("%s: %d after %.3f s\n", c.name, result, seconds);

    // The port is let go: no descriptor on the terminal but the keeper's,
    // and another channel opening the path finds no holder, only no port.
    EXPECT_FALSE(ChannelIsOpen(rig.line.channel));
    EXPECT_EQ(DescriptorsOn(keeper.Device()), 1);
    SerialChannel other{};
    EXPECT_EQ(OpenChannel(other, port.c_str()), kErrPortOpen);
    EXPECT_EQ(std::strstr(other.lastError, "in use"), nullptr) << other.lastError;
    CloseChannel(other);

    // No backup, no temporary file: the folder holds what it held.
    EXPECT_EQ(rig.FolderEntries(), before);
    EXPECT_TRUE(rig.dialog.CallsStartingWith("save ").empty());
}

INSTANTIATE_TEST_SUITE_P(Phases, RobustnessUnplug, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

// A search is a wait for a device: with the line gone during its presence
// check or its information request it keeps looking (for the port to come
// back), without spinning, until the operator stops it.
class RobustnessUnplugSearch : public ::testing::TestWithParam<int> {};

TEST_P(RobustnessUnplugSearch, KeepsSearchingUntilStop) {
    SimOptions options;
    options.unplugAfterFrames = GetParam();
    LineRig rig(options);
    ASSERT_TRUE(rig.Start());
    const std::string port = rig.device.SlavePath();
    const Keeper keeper(port);
    ASSERT_TRUE(keeper.Valid());

    std::atomic<bool> ended{false};
    std::atomic<bool> endedBeforeStop{false};
    std::atomic<std::int64_t> stoppedAtUs{0};
    std::thread stopper([&] {
        rig.device.WaitForRequests(static_cast<std::size_t>(GetParam()), 5000);
        std::this_thread::sleep_for(1500ms);
        endedBeforeStop = ended.load();
        stoppedAtUs = NowUs();
        rig.commandEvent.Set();
    });
    const ResultCode result = RunCommand(rig.context, kIdSearch);
    ended = true;
    const std::int64_t endedUs = NowUs();
    stopper.join();

    EXPECT_FALSE(endedBeforeStop);
    EXPECT_EQ(result, kErrAborted);
    EXPECT_LT(static_cast<double>(endedUs - stoppedAtUs) / 1e6, kEndWithinSeconds);
    // Paced: about one identification per 250 ms, not thousands.
    EXPECT_LE(rig.dialog.CallsStartingWith("set 1017 Чтение данных").size(), 10u);
    EXPECT_FALSE(ChannelIsOpen(rig.line.channel));
    EXPECT_EQ(DescriptorsOn(keeper.Device()), 1);
}

INSTANTIATE_TEST_SUITE_P(Requests, RobustnessUnplugSearch, ::testing::Values(1, 2));

}  // namespace
