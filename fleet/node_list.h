// The node list of --nodes: "1,5,10-20".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A node number as the command line writes it: one to three digits, 0 to
// 255.
bool ReadNodeNumber(std::string_view text, unsigned& node);

// Reads numbers (0 to 255) and ranges FIRST-LAST (FIRST not above LAST),
// separated by commas, into `nodes` in the order given. A node named twice,
// directly or through a range, refuses the whole list: serving a device
// twice in one run would write or back it up twice. On refusal `nodes` is
// left empty and `problem` says what is wrong, in a few English words.
bool ParseNodeList(std::string_view text, std::vector<std::uint8_t>& nodes, std::string& problem);
