// A request payload as the tool builds it: sequence number, node, command,
// then the command's data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

inline std::vector<std::uint8_t> RequestPayload(std::uint8_t seq, std::uint8_t node,
                                                std::uint8_t command,
                                                const std::vector<std::uint8_t>& data = {}) {
    std::vector<std::uint8_t> request{seq, node, command};
    request.insert(request.end(), data.begin(), data.end());
    return request;
}
