// What the command tests read and write around a run of vx40: its output cut
// into lines, and files as bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline std::vector<std::uint8_t> Contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Whether the blocks a simulated device stored are exactly the records of
// `module`, in order.
inline ::testing::AssertionResult HoldsModule(
    const std::vector<std::array<std::uint8_t, 1030>>& blocks,
    const std::vector<std::uint8_t>& module) {
    if (blocks.size() * 1030 != module.size())
        return ::testing::AssertionFailure() << blocks.size() << " blocks stored";
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (!std::equal(blocks[i].begin(), blocks[i].end(),
                        module.begin() + static_cast<std::ptrdiff_t>(i * 1030)))
            return ::testing::AssertionFailure() << "record " << i << " differs";
    }
    return ::testing::AssertionSuccess();
}
