// Port names as the operator types them: ParseNetworkPortName and the
// serial name helper. Holds, for every input:
//  - a refusal says why; an acceptance has a kind matching the prefix, a
//    terminated non-empty host, a port 1 to 65535 written without leading
//    zeros, and a latency of 0 to 10000 ms;
//  - an accepted name, written back out in its plain form, parses to the
//    same result;
//  - NeedsDeviceNamespace holds only for COM followed by digits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "transport/network_port_name.h"
#include "transport/port_name.h"

namespace {

bool Same(const NetworkPortName& a, const NetworkPortName& b) {
    return a.kind == b.kind && std::strcmp(a.host, b.host) == 0 &&
           std::strcmp(a.service, b.service) == 0 && a.latencyMs == b.latencyMs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);

    if (NeedsDeviceNamespace(name)) {
        if (size < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' ||
            (name[2] | 0x20) != 'm') {
            std::abort();
        }
        for (std::size_t i = 3; i < size; ++i) {
            if (name[i] < '0' || name[i] > '9') std::abort();
        }
    }

    NetworkPortName parsed;
    const char* problem = nullptr;
    if (!ParseNetworkPortName(name, parsed, problem)) {
        if (problem == nullptr || *problem == '\0') std::abort();
        return 0;
    }
    if (parsed.kind == NetworkKind::kNone || parsed.kind != NetworkKindOf(name)) std::abort();
    const std::size_t hostLength = strnlen(parsed.host, sizeof parsed.host);
    if (hostLength == 0 || hostLength == sizeof parsed.host) std::abort();
    const std::size_t serviceLength = strnlen(parsed.service, sizeof parsed.service);
    if (serviceLength == 0 || serviceLength == sizeof parsed.service || parsed.service[0] == '0')
        std::abort();
    const long port = std::strtol(parsed.service, nullptr, 10);
    if (port < 1 || port > 65535 || std::to_string(port) != parsed.service) std::abort();
    if (parsed.latencyMs < 0 || parsed.latencyMs > kLongestLatencyMs) std::abort();

    const bool ipv6 = std::strchr(parsed.host, ':') != nullptr;
    std::string again = parsed.kind == NetworkKind::kRawSocket ? "socket://" : "rfc2217://";
    again += ipv6 ? "[" + std::string(parsed.host) + "]" : std::string(parsed.host);
    again += ":" + std::string(parsed.service) + "?latency=" + std::to_string(parsed.latencyMs);
    NetworkPortName reparsed;
    if (!ParseNetworkPortName(again, reparsed, problem) || !Same(parsed, reparsed)) std::abort();
    return 0;
}
