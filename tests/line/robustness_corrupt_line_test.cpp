// A whole module written over a noisy line: the simulated device damages a
// share of the frames in each direction, decided by a seeded generator so
// every seed is one repeatable line. A damaged request goes unanswered (the
// tool waits out the reply time, counted from when a real line would have
// carried the block, so about 0.45 s, and sends again); a damaged reply
// fails its checksum (the tool sends again at once, and the device answers
// the repeat without storing the block twice). A seed takes 2 to 8 s.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "line_rig.h"
#include "operations/module_writer.h"
#include "pty_peer.h"

namespace {

constexpr double kCorruptShare = 0.05;
constexpr std::size_t kRecords = 112;

class RobustnessCorruptLine : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RobustnessCorruptLine, WholeModuleArrivesIntact) {
    SimOptions options;
    options.corruptShare = kCorruptShare;
    options.seed = GetParam();
    LineRig rig(options);
    ASSERT_TRUE(rig.Start());
    const std::string path = rig.UseModuleFile(kRecords * 1030);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(WriteModuleCommand(rig.context), 0) << "seed " << GetParam();
    const double seconds = SecondsSince(start);

    const auto module = FileContents(path);
    const auto blocks = rig.device.ModuleBlocks();
    ASSERT_EQ(blocks.size(), kRecords);
    for (std::size_t i = 0; i < kRecords; ++i) {
        ASSERT_TRUE(std::equal(blocks[i].begin(), blocks[i].end(),
                               module.begin() + static_cast<long>(i * 1030)))
            << "record " << i;
    }
    EXPECT_EQ(rig.context.recordsAccepted, static_cast<int>(kRecords));
    EXPECT_FALSE(ChannelIsOpen(rig.line.channel));

    // The line really was noisy: more frames than the clean 116 requests.
    const auto sent = rig.device.FramesReceived();
    EXPECT_GT(sent, static_cast<int>(kRecords) + 4);
    std::printf("seed %u: %d request frames for %zu exchanges, %.2f s\n", GetParam(), sent,
                kRecords + 4, seconds);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RobustnessCorruptLine, ::testing::Range(1u, 21u));

}  // namespace
