#include "transport/network_port_name.h"

#include <charconv>
#include <cstring>

namespace {

constexpr std::string_view kRawSocketPrefix = "socket://";
constexpr std::string_view kRfc2217Prefix = "rfc2217://";

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A decimal number made of digits only, at most `largest`. Leading zeros are
// harmless; the count saturates so that a long run of digits cannot wrap.
bool ParseBoundedNumber(std::string_view text, int largest, int& value) {
    if (text.empty()) return false;
    int result = 0;
    for (const char c : text) {
        if (!IsDigit(c)) return false;
        result = result * 10 + (c - '0');
        if (result > largest) return false;
    }
    value = result;
    return true;
}

// Names and IPv4 addresses alike; the resolver judges the rest. Keeping out
// spaces, slashes and the like gives the technician a clear refusal here
// instead of a resolver error about a name nobody meant to type.
bool IsPlainHost(std::string_view host) {
    for (const char c : host) {
        if (!IsAlnum(c) && c != '-' && c != '.' && c != '_') return false;
    }
    return true;
}

// The text between the brackets: hex digits, colons and dots (an embedded
// IPv4 tail), optionally a %zone for a link-local address.
bool IsBracketedIpv6(std::string_view host) {
    const std::size_t percent = host.find('%');
    const std::string_view address = host.substr(0, percent);
    if (address.find(':') == std::string_view::npos) return false;
    for (const char c : address) {
        if (!IsHexDigit(c) && c != ':' && c != '.') return false;
    }
    if (percent == std::string_view::npos) return true;
    const std::string_view zone = host.substr(percent + 1);
    if (zone.empty()) return false;
    for (const char c : zone) {
        if (!IsAlnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

}  // namespace

NetworkKind NetworkKindOf(std::string_view name) {
    if (StartsWithIgnoringCase(name, kRawSocketPrefix)) return NetworkKind::kRawSocket;
    if (StartsWithIgnoringCase(name, kRfc2217Prefix)) return NetworkKind::kRfc2217;
    return NetworkKind::kNone;
}

bool ParseNetworkPortName(std::string_view name, NetworkPortName& parsed, const char*& problem) {
    NetworkPortName result;
    result.kind = NetworkKindOf(name);
    if (result.kind == NetworkKind::kNone) {
        problem = "not a socket:// or rfc2217:// name";
        return false;
    }
    std::string_view rest = name.substr(
        (result.kind == NetworkKind::kRawSocket ? kRawSocketPrefix : kRfc2217Prefix).size());

    std::string_view query;
    const std::size_t questionMark = rest.find('?');
    if (questionMark != std::string_view::npos) {
        query = rest.substr(questionMark + 1);
        rest = rest.substr(0, questionMark);
    }

    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t closing = rest.find(']');
        if (closing == std::string_view::npos) {
            problem = "the IPv6 address lacks its closing bracket";
            return false;
        }
        host = rest.substr(1, closing - 1);
        if (!IsBracketedIpv6(host)) {
            problem = "the text in brackets is not an IPv6 address";
            return false;
        }
        rest = rest.substr(closing + 1);
        if (rest.empty() || rest.front() != ':') {
            problem = "the port is missing (HOST:PORT)";
            return false;
        }
        port = rest.substr(1);
    } else {
        const std::size_t colon = rest.find(':');
        if (colon == std::string_view::npos) {
            problem = "the port is missing (HOST:PORT)";
            return false;
        }
        if (rest.find(':', colon + 1) != std::string_view::npos) {
            problem = "an IPv6 address needs brackets, as in [::1]:4001";
            return false;
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (!IsPlainHost(host)) {
            problem = "the host name holds characters a host name cannot have";
            return false;
        }
    }
    if (host.empty()) {
        problem = "the host is missing (HOST:PORT)";
        return false;
    }
    if (host.size() >= sizeof result.host) {
        problem = "the host name is too long";
        return false;
    }

    int portNumber = 0;
    if (!ParseBoundedNumber(port, 65535, portNumber) || portNumber == 0) {
        problem = "the port must be a number from 1 to 65535";
        return false;
    }

    if (questionMark != std::string_view::npos) {
        constexpr std::string_view kLatencyKey = "latency=";
        if (!StartsWithIgnoringCase(query, kLatencyKey)) {
            problem = "the only option is ?latency=MS";
            return false;
        }
        if (!ParseBoundedNumber(query.substr(kLatencyKey.size()), kLongestLatencyMs,
                                result.latencyMs)) {
            problem = "the latency must be a number of ms from 0 to 10000";
            return false;
        }
    }

    std::memcpy(result.host, host.data(), host.size());
    // Written from the number rather than copied, so "04001" reaches the
    // resolver as "4001"; five digits and the terminator always fit.
    std::to_chars(result.service, result.service + sizeof result.service - 1, portNumber);
    parsed = result;
    return true;
}
