// Stop pressed at every exchange of every command, through the worker as the
// dialog would press it. The channel looks at the command event only when a
// read has to wait, so where the press lands decides the outcome:
//
//  - the press falls into an exchange's wait and its reply still comes: that
//    exchange completes, and the next one sends its request and ends with
//    -2109 at its read; after the last exchange nothing waits any more and
//    the command completes;
//  - the reply of that attempt is lost: the next attempt sends the request
//    again and its read ends the exchange with -2109;
//  - the press falls into the wait of the fourth and last attempt, and no
//    reply comes: the exchange has no attempt left to see the press and
//    fails with -2011 (-2005 for a presence check); a search then sees the
//    press itself before it looks for the device again.
//
// Every case runs on a fresh simulated device whose late replies wait for
// the press, so the wait really blocks and the press is never overtaken.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/command_worker.h"
#include "line_rig.h"
#include "protocol/message_catalogue.h"
#include "pty_peer.h"

namespace {

using namespace std::chrono_literals;

// A late reply goes out this long after the press: well inside the 250 ms
// wait the press fell into.
constexpr int kLateReplyMs = 40;
// The press comes this long after the device has the request, when the tool
// is surely waiting.
constexpr auto kPressAfter = 30ms;
constexpr int kRecords = 3;

enum class Landing { kReplyComes, kReplyLost, kLastAttempt };

struct Command {
    const char* name;
    int button;
    std::vector<int> requests;  // the command's requests, in order, when nothing goes wrong
};

const Command kCommands[] = {
    {"Search", kIdSearch, {16, 18}},
    {"Write", kIdWriteModule, {16, 18, 19, 19, 19, 16, 18}},
    {"Configuration", kIdSaveConfiguration, {16, 18, 21, 21, 21, 21, 21, 21}},
    {"Calibration", kIdSaveCalibration, {16, 18, 21}},
    {"Activation", kIdActivate, {20}},
};

struct StopCase {
    const Command* command;
    int exchange;  // from 1
    Landing landing;
};

std::string NameOf(const StopCase& c) {
    static const char* const kLandings[] = {"ReplyComes", "ReplyLost", "LastAttempt"};
    return std::string(c.command->name) + "Exchange" + std::to_string(c.exchange) +
           kLandings[static_cast<int>(c.landing)];
}

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << NameOf(c);
}

std::vector<StopCase> AllCases() {
    std::vector<StopCase> cases;
    for (const Command& command : kCommands) {
        const int exchanges = static_cast<int>(command.requests.size());
        for (int k = 1; k <= exchanges; ++k) {
            cases.push_back({&command, k, Landing::kReplyComes});
            cases.push_back({&command, k, Landing::kReplyLost});
        }
    }
    // A press in the last attempt costs a second of silence each: the first
    // and the last exchange of every command, and the write's second
    // identification and a block between.
    for (const Command& command : kCommands) {
        const int exchanges = static_cast<int>(command.requests.size());
        cases.push_back({&command, 1, Landing::kLastAttempt});
        if (exchanges > 1) cases.push_back({&command, exchanges, Landing::kLastAttempt});
    }
    cases.push_back({&kCommands[1], 4, Landing::kLastAttempt});
    cases.push_back({&kCommands[1], 6, Landing::kLastAttempt});
    return cases;
}

CommandMessage Press(int id) {
    return {kWmCommand, static_cast<std::uintptr_t>(id), 0};
}

// Which request of its command exchange `k` is, from 1: fault rules count
// that way.
int OccurrenceOf(const std::vector<int>& requests, int k) {
    const auto end = requests.begin() + k;
    return static_cast<int>(std::count(requests.begin(), end, *(end - 1)));
}

class RobustnessStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(RobustnessStop, FollowsTheAbortRules) {
    const StopCase& c = GetParam();
    const std::vector<int>& requests = c.command->requests;
    const int exchanges = static_cast<int>(requests.size());
    const int k = c.exchange;
    const int command = requests[static_cast<std::size_t>(k - 1)];
    const int occurrence = OccurrenceOf(requests, k);
    const bool last = k == exchanges;

    std::atomic<bool> pressed{false};
    SimOptions options;
    options.lateReplyGate = [&pressed] { return pressed.load(); };
    LineRig rig(options);
    // When the press lands, and what the command should then end with.
    std::size_t pressAt = static_cast<std::size_t>(k);
    std::size_t requestsSent = static_cast<std::size_t>(k) + 1;
    ResultCode expected = kErrAborted;
    switch (c.landing) {
        case Landing::kReplyComes:
            rig.device.AddFault({command, occurrence, FaultKind::kDelay, kLateReplyMs});
            if (!last) {
                // Late as well, so the next exchange's read surely finds no
                // reply yet and looks at the event.
                const int next = requests[static_cast<std::size_t>(k)];
                rig.device.AddFault(
                    {next, OccurrenceOf(requests, k + 1), FaultKind::kDelay, kLateReplyMs});
            } else {
                requestsSent = requests.size();
                expected = kResultOk;
            }
            break;
        case Landing::kReplyLost:
            rig.device.AddFault({command, occurrence, FaultKind::kSilence});
            rig.device.AddFault({command, occurrence + 1, FaultKind::kDelay, kLateReplyMs});
            break;
        case Landing::kLastAttempt:
            for (int attempt = 0; attempt < 4; ++attempt)
                rig.device.AddFault({command, occurrence + attempt, FaultKind::kSilence});
            pressAt = static_cast<std::size_t>(k) + 3;
            requestsSent = pressAt;
            if (command != 16) {
                expected = kErrExchange;
            } else if (c.command->button != kIdSearch) {
                expected = kErrNoDevice;
            }
            break;
    }
    ASSERT_TRUE(rig.Start());
    rig.UseModuleFile(kRecords * 1030);
    const std::string backup = (rig.folder / "backup.vx4").string();
    rig.dialog.AnswerSave({true, backup, 0});
    const auto before = rig.FolderEntries();

    WorkerSession session{rig.context};
    ASSERT_TRUE(StartWorker(session));
    RouteCommand(session, Press(c.command->button));
    ASSERT_TRUE(rig.device.WaitForRequests(pressAt, 10000));
    std::this_thread::sleep_for(kPressAfter);
    RouteCommand(session, Press(kIdStop));
    pressed = true;

    // The command, then the stored Stop taken as a command that does nothing:
    // the buttons are enabled twice.
    auto enables = [&] { return rig.dialog.CallsStartingWith("enable ").size(); };
    WaitUntil([&] { return enables() >= 12; }, 10s);
    ASSERT_EQ(enables(), 12u);
    std::this_thread::sleep_for(20ms);

    // One message for the interrupted command, shown before the buttons
    // return; none when it completed.
    const auto calls = rig.dialog.Calls();
    const auto boxes = rig.dialog.Boxes();
    if (expected == kResultOk) {
        EXPECT_TRUE(boxes.empty());
    } else {
        ASSERT_EQ(boxes,
                  (std::vector<std::string>{"box Ошибка! 16 " + std::string(MessageOf(expected))}));
        const auto box = std::find(calls.begin(), calls.end(), boxes.front());
        const auto enable = std::find(calls.begin(), calls.end(), "enable 1023");
        EXPECT_LT(box, enable);
    }
    for (int id : kActionButtons)
        EXPECT_TRUE(rig.dialog.Enabled(id)) << id;

    // Nothing went out after the exchange that saw the press.
    const auto received = rig.device.Requests();
    ASSERT_EQ(received.size(), requestsSent);
    if (c.landing == Landing::kReplyLost) {
        // The aborted read belonged to the request sent again.
        EXPECT_EQ(received.back().payload, received[static_cast<std::size_t>(k - 1)].payload);
    } else if (c.landing == Landing::kReplyComes && !last) {
        EXPECT_EQ(received.back().payload[2], requests[static_cast<std::size_t>(k)]);
    }

    EXPECT_FALSE(ChannelIsOpen(rig.line.channel));
    EXPECT_TRUE(PortIsFree(rig.device.SlavePath()));

    // Nothing on disk, no temporary file. A backup whose last read had its
    // reply has nothing left to wait for: it saves, whole.
    auto after = before;
    const bool isBackup =
        c.command->button == kIdSaveCalibration || c.command->button == kIdSaveConfiguration;
    if (isBackup && expected == kResultOk) {
        after.push_back("backup.vx4");
        std::sort(after.begin(), after.end());
        EXPECT_EQ(FileContents(backup).size(), 1030u * (requests.size() - 2));
    }
    EXPECT_EQ(rig.FolderEntries(), after);
}

INSTANTIATE_TEST_SUITE_P(EveryExchange, RobustnessStop, ::testing::ValuesIn(AllCases()),
                         [](const auto& param) { return NameOf(param.param); });

}  // namespace
