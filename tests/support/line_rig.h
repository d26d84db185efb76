// One complete line for an end-to-end test: a simulated device on a
// pseudo-terminal, the recording dialog pointed at it, the line state, the
// command event and a scratch folder of the test's own. Tests that try many
// cases make one rig per case, so fault counters and the device's memory
// start afresh every time.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dialog/command_context.h"
#include "dialog/control_ids.h"
#include "exchange/line_state.h"
#include "platform/event.h"
#include "recording_dialog.h"
#include "sim/simulated_device.h"
#include "transport/serial_channel.h"

// Writes a module-shaped file of `bytes` bytes with a recognisable pattern,
// rich in the bytes the codec escapes, and different in every record.
inline void WritePatternFile(const std::filesystem::path& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto b = static_cast<std::uint8_t>(i % 7 == 0 ? 0x10 : i * 31 + i / 1030);
        out.put(static_cast<char>(b));
    }
}

inline std::vector<std::uint8_t> FileContents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A fresh channel can take the port again: the command under test let go of
// both the descriptor and its lock.
inline ::testing::AssertionResult PortIsFree(const std::string& path) {
    SerialChannel other{};
    const ResultCode opened = OpenChannel(other, path.c_str());
    CloseChannel(other);
    if (opened == kResultOk) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "port still taken: " << other.lastError;
}

class LineRig {
  public:
    explicit LineRig(SimOptions options = {}) : device(options) {
        static int made = 0;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(test->test_suite_name()) + "-" + test->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        folder =
            std::filesystem::temp_directory_path() /
            ("vx40-rig-" + std::to_string(getpid()) + "-" + name + "-" + std::to_string(++made));
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    ~LineRig() {
        device.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    LineRig(const LineRig&) = delete;
    LineRig& operator=(const LineRig&) = delete;

    // Starts the device and fills in the port and node fields.
    ::testing::AssertionResult Start() {
        if (!device.Start()) return ::testing::AssertionFailure() << device.LastError();
        dialog.SetField(kIdPort, device.SlavePath());
        dialog.SetField(kIdNode, "255");
        return ::testing::AssertionSuccess();
    }

    // A module file of `bytes` bytes in the rig's folder, named in the path
    // field; returns its path.
    std::string UseModuleFile(std::size_t bytes, const char* name = "module.vx4") {
        const auto path = folder / name;
        WritePatternFile(path, bytes);
        dialog.SetField(kIdModulePath, path.string());
        return path.string();
    }

    // Names in the rig's folder, hidden ones (temporary files) included.
    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The command byte of every request the device decoded, in order.
    std::vector<int> Commands() const {
        std::vector<int> commands;
        for (const auto& request : device.Requests())
            commands.push_back(request.payload[2]);
        return commands;
    }

    SimulatedDevice device;
    RecordingDialog dialog;
    LineState line{};
    Event commandEvent;
    CommandContext context{dialog, line, commandEvent};
    std::filesystem::path folder;
};
