// Port names that reach a serial line through a server on the network, in
// the form technicians know from other serial tools:
//
//   socket://HOST:PORT[?latency=MS]    raw TCP: the server passes bytes both
//                                      ways and owns the line settings
//   rfc2217://HOST:PORT[?latency=MS]   Telnet with the COM-PORT-OPTION: the
//                                      tool sets the remote line itself
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets
// ("[::1]"). MS is an allowance for the network's round trip, added to the
// reply wait; 100 ms when not given.
#pragma once

#include <cstddef>
#include <string_view>

enum class NetworkKind { kNone, kRawSocket, kRfc2217 };

inline constexpr int kDefaultLatencyMs = 100;
inline constexpr int kLongestLatencyMs = 10000;

struct NetworkPortName {
    NetworkKind kind = NetworkKind::kNone;
    char host[256] = {};   // without the brackets of an IPv6 address
    char service[8] = {};  // the port number as text, for the resolver
    int latencyMs = kDefaultLatencyMs;
};

// The kind a name asks for by its prefix (case-insensitive); kNone for a
// local port name.
NetworkKind NetworkKindOf(std::string_view name);

// Parses a name whose kind is not kNone. False, with `problem` set to a short
// English text for the technician, when the rest is not HOST:PORT with PORT
// 1 to 65535 and an optional ?latency=MS with MS 0 to 10000.
bool ParseNetworkPortName(std::string_view name, NetworkPortName& parsed, const char*& problem);
