// The --nodes parser on anything the operator may type. Holds, for every
// input:
//  - a refusal leaves no nodes and says why;
//  - an acceptance names each node once, from text of digits, commas and
//    dashes only, with no more nodes than 256;
//  - the accepted nodes, written back as a plain comma list, parse to the
//    same list in the same order.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/node_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::uint8_t> nodes{7};  // left over from an earlier list
    std::string problem;
    if (!ParseNodeList(text, nodes, problem)) {
        if (!nodes.empty() || problem.empty()) std::abort();
        return 0;
    }
    if (nodes.empty() || nodes.size() > 256) std::abort();
    for (const char c : text) {
        if ((c < '0' || c > '9') && c != ',' && c != '-') std::abort();
    }
    bool seen[256] = {};
    std::string plain;
    for (const std::uint8_t node : nodes) {
        if (seen[node]) std::abort();
        seen[node] = true;
        if (!plain.empty()) plain += ',';
        plain += std::to_string(node);
    }
    std::vector<std::uint8_t> again;
    if (!ParseNodeList(plain, again, problem) || again != nodes) std::abort();
    return 0;
}
