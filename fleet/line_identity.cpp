#include "fleet/line_identity.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "operations/dialog_inputs.h"
#include "transport/network_port_name.h"
#include "transport/port_name.h"

namespace {

std::string Lowercase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

}  // namespace

std::string LineIdentity(std::string_view portName) {
    NetworkPortName network;
    const char* problem = nullptr;
    if (NetworkKindOf(portName) != NetworkKind::kNone &&
        ParseNetworkPortName(portName, network, problem)) {
        return "tcp " + Lowercase(network.host) + " " + network.service;
    }
    std::string_view name = portName;
    if (name.substr(0, kDeviceNamespacePrefix.size()) == kDeviceNamespacePrefix &&
        NeedsDeviceNamespace(name.substr(kDeviceNamespacePrefix.size())))
        name.remove_prefix(kDeviceNamespacePrefix.size());
    if (NeedsDeviceNamespace(name)) {
        // COM5, com5 and COM05 are one port.
        return "com " +
               std::to_string(std::strtoul(std::string(name.substr(3)).c_str(), nullptr, 10));
    }
    const std::u8string text(name.begin(), name.end());
    std::error_code error;
    const std::filesystem::path resolved =
        std::filesystem::weakly_canonical(std::filesystem::path(text), error);
    const std::u8string key =
        error ? std::filesystem::path(text).lexically_normal().u8string() : resolved.u8string();
    return "local " + std::string(key.begin(), key.end());
}

bool CheckPortName(std::string_view portName, std::string& problem) {
    if (NetworkKindOf(portName) != NetworkKind::kNone) {
        NetworkPortName network;
        const char* why = nullptr;
        if (ParseNetworkPortName(portName, network, why)) return true;
        problem = why;
        return false;
    }
    if (portName.empty()) {
        problem = "the name is empty";
        return false;
    }
    if (portName.size() > static_cast<std::size_t>(kPortNameLimit)) {
        problem = "at most " + std::to_string(kPortNameLimit) + " bytes";
        return false;
    }
    return true;
}
