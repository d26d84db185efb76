#include "fleet/journal.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "fleet/line_identity.h"

namespace {

using Json = nlohmann::json;

std::string Key(const std::string& port, int node, const std::string& type,
                const std::string& serial) {
    return LineIdentity(port) + '\n' + std::to_string(node) + '\n' + type + '\n' + serial;
}

// A text field of `entry`, or empty when it is missing or not text.
std::string TextAt(const Json& entry, const char* key) {
    const auto found = entry.find(key);
    return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

void Journal::Load(const std::string& path) {
    latest_.clear();
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        const Json entry = Json::parse(line, nullptr, false);
        if (!entry.is_object()) continue;
        const std::string command = TextAt(entry, "command");
        if (command != "write" && command != "activate") continue;
        const auto before = entry.find("before");
        const auto node = entry.find("node");
        const std::string port = TextAt(entry, "port");
        // Without the device's identity the work cannot be put to a device.
        if (before == entry.end() || !before->is_object() || node == entry.end() ||
            !node->is_number_integer() || port.empty())
            continue;
        JournalWork work;
        work.activation = command == "activate";
        work.endless = TextAt(entry, "state") == "started";
        work.time = TextAt(entry, "time");
        if (const auto module = entry.find("module"); module != entry.end() && module->is_object())
            work.module = TextAt(*module, "name");
        if (!work.endless) {
            const auto result = entry.find("result");
            // An end without a readable result is no proof of success.
            work.result = result != entry.end() && result->is_number_integer()
                              ? result->get<ResultCode>()
                              : kErrUnknown;
        }
        latest_[Key(port, node->get<int>(), TextAt(*before, "deviceType"),
                    TextAt(*before, "serialNumber"))] = work;
    }
}

const JournalWork* Journal::Latest(const std::string& port, int node, const std::string& type,
                                   const std::string& serial) const {
    const auto found = latest_.find(Key(port, node, type, serial));
    return found == latest_.end() ? nullptr : &found->second;
}
