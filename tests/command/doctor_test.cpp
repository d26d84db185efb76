// vx40 doctor as a process against simulated lines, one line condition a
// row: what the technician is told and the exit code, within the bound the
// command promises (probing within 10 s, a quick scan within 10 s more).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <tuple>

#include "child_process.h"
#include "command_text.h"
#include "operations/line_probe.h"
#include "protocol/frame_codec.h"
#include "sim/simulated_device.h"

namespace {

struct LineCase {
    const char* name;
    bool echo;
    std::vector<int> devices;  // nodes on the line
    const char* fault;         // rules for every device, a space between; nullptr none
    const char* verdict;
    int exitCode;
    std::optional<int> otherNode = std::nullopt;
    std::vector<int> answeredAt = {};
    int replyAtLeastMs = -1;  // replyMs expected near here up to twice it; -1 none expected
    int unplugAfter = -1;     // frames before the line closes, as a pulled adapter
};

const LineCase kCases[] = {
    {"answered on a clean line", false, {255}, nullptr, "answered", 0, {}, {}, 0},
    {"answered through an echoing adapter", true, {255}, nullptr, "answered", 0, {}, {}, 0},
    {"answered, its information lost", false, {255}, "18:every:silence", "answered", 5, {}, {}, 0},
    {"refused", false, {255}, "16:every:refuse:254", "refused", 6, {}, {}, 0},
    {"late", false, {255}, "16:every:delay:500", "late", 5, {}, {}, 500},
    {"other node", false, {255}, "16:every:other-node", "other-node", 5, 0},
    {"bad checksum", false, {255}, "16:every:bad-checksum", "garbled", 5},
    {"noise", false, {255}, "16:every:noise", "garbled", 5},
    {"echo only, node 7 refuses", true, {7}, "16:every:refuse:254", "echo-only", 5, {}, {7}},
    {"silent", false, {7}, "any:every:silence", "silent", 5, {}, {}},
    {"the adapter pulled out", false, {255}, nullptr, "port-failed", 4, {}, {}, -1, 1},
};

class Vx40Doctor : public ::testing::Test {
  protected:
    void StartLine(const LineCase& line) {
        SimOptions options;
        options.echo = line.echo;
        options.unplugAfterFrames = line.unplugAfter;
        for (int node : line.devices) {
            options.devices.emplace_back();
            options.devices.back().node = static_cast<std::uint8_t>(node);
        }
        sim = std::make_unique<SimulatedDevice>(options);
        std::istringstream rules(line.fault != nullptr ? line.fault : "");
        for (std::string rule; rules >> rule;)
            sim->AddFault(*ParseFaultRule(rule));
        ASSERT_TRUE(sim->Start()) << sim->LastError();
    }

    // vx40 doctor with its time, which must stay within the promised 20 s
    // with room for a slow machine.
    ChildResult Doctor(const std::string& port, std::vector<std::string> more = {}) {
        std::vector<std::string> args{"-q", "-p", port};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back("doctor");
        const auto started = std::chrono::steady_clock::now();
        ChildResult run = RunChild(VX40_EXE, args);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, std::chrono::seconds(40));
        return run;
    }

    std::unique_ptr<SimulatedDevice> sim;
};

TEST_F(Vx40Doctor, EachLineConditionGetsItsVerdictAndExitCode) {
    for (const LineCase& line : kCases) {
        SCOPED_TRACE(line.name);
        StartLine(line);
        // As below: no other test's line takes the number of one pulled out.
        const int keeper = ::open(sim->SlavePath().c_str(), O_RDWR | O_NOCTTY);
        const ChildResult run = Doctor(sim->SlavePath(), {"--json"});
        ::close(keeper);
        sim->Stop();
        EXPECT_EQ(run.exitCode, line.exitCode) << run.err;
        const auto json = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_TRUE(json.is_object()) << run.out;
        EXPECT_EQ(json["verdict"], line.verdict);
        EXPECT_EQ(json["node"], 255);
        EXPECT_EQ(json["echo"], line.echo);
        EXPECT_EQ(json.contains("device"), line.exitCode == 0) << run.out;
        if (line.exitCode == 0) {
            EXPECT_EQ(json["device"]["deviceType"], "VX40");
        }
        if (line.otherNode) {
            EXPECT_EQ(json["otherNode"], *line.otherNode);
        }
        const bool scanned = json.contains("answeredAt");
        EXPECT_EQ(scanned, line.devices.front() != 255) << run.out;
        if (scanned) {
            EXPECT_EQ(json["answeredAt"].get<std::vector<int>>(), line.answeredAt);
        }
        ASSERT_EQ(json.contains("replyMs"), line.replyAtLeastMs >= 0) << run.out;
        if (line.replyAtLeastMs >= 0) {
            // The device's delay runs from the request's arrival, which the
            // pseudo-terminal brings a little before its line time is over.
            EXPECT_GE(json["replyMs"].get<int>(), line.replyAtLeastMs * 9 / 10);
            EXPECT_LE(json["replyMs"].get<int>(), 2 * line.replyAtLeastMs + 200);
        }
    }
}

TEST_F(Vx40Doctor, SaysWhatToTryInWordsAndAMissingPortIsExit4) {
    StartLine(kCases[8]);  // echo only, a device at node 7
    const ChildResult run = Doctor(sim->SlavePath());
    EXPECT_EQ(run.exitCode, 5) << run.err;
    EXPECT_EQ(run.out,
              "rs485: the driver has no RS-485 mode (a USB adapter switches direction itself)\n"
              "echo-only: only the tool's own frames came back: the adapter echoes and nobody "
              "answered at node 255; check the node number and the device's power\n"
              "echo: the adapter echoes what the tool sends; vx40 allows for it\n"
              "scan: nobody at node 255; a device answers at node 7: try -n 7\n");

    StartLine({"sometimes", false, {255}, "16:1:silence 16:2:silence 16:3:silence", "silent", 5});
    EXPECT_EQ(Lines(Doctor(sim->SlavePath()).out).back(),
              "scan: node 255 answered the quick scan but not the 3 presence checks before it: it "
              "answers only sometimes; check the termination, the bias and the device's power");

    StartLine(kCases[10]);  // pulled out and not back: no scan of the dead port follows
    // Held open here, the terminal's number goes to no other test's line
    // while the doctor waits for this one to come back.
    const int keeper = ::open(sim->SlavePath().c_str(), O_RDWR | O_NOCTTY);
    const ChildResult pulled = RunChild(VX40_EXE, {"-p", sim->SlavePath(), "doctor"});
    ::close(keeper);
    EXPECT_EQ(pulled.err,
              "probe 1 of 3 00%\nthe port is gone: opening it again every second 00%\n");
    EXPECT_EQ(Lines(pulled.out).size(), 2u) << pulled.out;
    EXPECT_TRUE(Lines(pulled.out)
                    .back()
                    .starts_with("port-failed: the port stopped working during the probe (" +
                                 sim->SlavePath() + ": "));

    const ChildResult missing = Doctor("/dev/vx40-no-such-port", {"--json"});
    EXPECT_EQ(missing.exitCode, 4);
    const auto json = nlohmann::json::parse(missing.out, nullptr, false);
    EXPECT_EQ(json["result"], -2016) << missing.out;
    EXPECT_FALSE(json.contains("verdict"));
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
}

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(const Bytes& payload) {
    FrameBuffers b{};
    std::copy(payload.begin(), payload.end(), b.PayloadBuffer);
    return {b.TxFrameBuffer, b.TxFrameBuffer + EncodeFrame(b, static_cast<int>(payload.size()))};
}

// Captures no simulator makes, heard after probe 2 (sequence 1, out at 10 s; probe 1 at 9 s).
TEST(JudgeCapture, SaysOnlyWhatTheBytesProve) {
    const Bytes request = Frame({1, 255, 16});
    const std::int64_t earlierEndUs[256] = {9'000'000};
    const struct {
        std::vector<std::pair<int, Bytes>> heard;  // ms after the request left the line
        LineVerdict verdict;
        int replyMs, looseBytes;
        int stampLateMs;  // the port looked at its queue every so often
    } cases[] = {
        // clang-format off
        {{{200, Frame({0, 255, 16, 6})}}, LineVerdict::kLate, 1200, 0, 0},  // the first probe's reply
        {{{0, request}, {3, request}}, LineVerdict::kGarbled, -1, 0, 0},    // a reply without a status byte
        {{{5, Frame({7, 255, 16, 6})}}, LineVerdict::kGarbled, -1, 0, 0},   // a sequence number no probe sent
        {{{0, {0xFF}}, {1, request}, {2, {0}}}, LineVerdict::kEchoOnly, -1, 2, 0},  // the bus floating
        {{{0, request}, {2, {kStx, 1, 255}}}, LineVerdict::kGarbled, -1, 0, 0},     // a reply cut short
        {{{262, Frame({1, 255, 16, 6})}}, LineVerdict::kAnswered, 262, 0, 16},  // seen up to 16 ms late
        {{{262, Frame({1, 255, 16, 6})}}, LineVerdict::kLate, 262, 0, 10},
        // clang-format on
    };
    for (const auto& c : cases) {
        ProbeCapture capture;
        for (const auto& [ms, bytes] : c.heard) {
            std::copy(bytes.begin(), bytes.end(), capture.bytes + capture.count);
            capture.count += bytes.size();
            capture.chunks[capture.chunkCount++] = {capture.count, 10'000'000 + ms * 1000};
        }
        ProbeFindings f;
        JudgeCapture(capture,
                     {request.data(), request.size(), 255, 1, 10'000'000, 250, c.stampLateMs},
                     earlierEndUs, f);
        EXPECT_EQ(std::tuple(VerdictName(f.verdict), f.replyMs, f.looseBytes),
                  std::tuple(VerdictName(c.verdict), c.replyMs, c.looseBytes))
            << "case " << &c - cases;
    }
}

}  // namespace
