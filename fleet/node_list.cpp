#include "fleet/node_list.h"

#include <array>

namespace {

std::string Quoted(std::string_view text) {
    // Appended piece by piece: GCC 12 at -O3 takes "'" + std::string(...)
    // for an overlapping copy (-Wrestrict) and the build treats that as an
    // error.
    std::string quoted(1, '\'');
    quoted.append(text);
    quoted += '\'';
    return quoted;
}

}  // namespace

bool ReadNodeNumber(std::string_view text, unsigned& node) {
    if (text.empty() || text.size() > 3) return false;
    node = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        node = node * 10 + static_cast<unsigned>(c - '0');
    }
    return node <= 255;
}

bool ParseNodeList(std::string_view text, std::vector<std::uint8_t>& nodes, std::string& problem) {
    nodes.clear();
    if (text.empty()) {
        problem = "the node list is empty";
        return false;
    }
    std::array<bool, 256> seen{};
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find(',', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view entry = text.substr(start, end - start);
        start = end + 1;

        if (entry.empty()) {
            problem = "an empty entry in the node list";
            nodes.clear();
            return false;
        }
        const std::size_t dash = entry.find('-');
        const std::string_view firstText = entry.substr(0, dash);
        const std::string_view lastText =
            dash == std::string_view::npos ? firstText : entry.substr(dash + 1);
        unsigned first = 0;
        unsigned last = 0;
        if (!ReadNodeNumber(firstText, first) || !ReadNodeNumber(lastText, last)) {
            problem = Quoted(entry) + " is not a node from 0 to 255 or a range of them";
            nodes.clear();
            return false;
        }
        if (first > last) {
            problem = "the range " + Quoted(entry) + " runs backwards";
            nodes.clear();
            return false;
        }
        for (unsigned node = first; node <= last; ++node) {
            if (seen[node]) {
                problem = "node " + std::to_string(node) + " is named twice";
                nodes.clear();
                return false;
            }
            seen[node] = true;
            nodes.push_back(static_cast<std::uint8_t>(node));
        }
    }
    return true;
}
