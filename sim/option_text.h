// The pieces of the simulator's option texts (--device, --fault and the
// identity words): colon-separated fields and numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The fields of `text` between colons, empty ones included: "a::b" gives
// "a", "", "b"; an empty text one empty field.
std::vector<std::string_view> ColonFields(std::string_view text);

// A number from 0 to `limit`, decimal or 0x hexadecimal, digits only.
std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t limit);
