// The message catalogue: the operator-facing text of every failure.
#pragma once

#include <string_view>

#include "protocol/result_code.h"

// Text (UTF-8) of catalogue entry `id`; empty when there is no such entry.
std::string_view MessageText(int id);

// Text of the message that a ResultCode shows: the entry whose identifier is
// the negated code. Success and positive codes (file dialog failures) have no
// entry and give an empty text.
std::string_view MessageOf(ResultCode code);

// Calls `visit(id, text)` for every entry, in identifier order.
template <typename Visit>
void ForEachMessage(Visit&& visit);

namespace catalogue_detail {
struct Entry {
    int id;
    std::string_view text;
};
inline constexpr Entry kEntries[] = {
#define VX40_MESSAGE(id, text) {id, text},
#include "resources/messages.inc"
#undef VX40_MESSAGE
};
}  // namespace catalogue_detail

template <typename Visit>
void ForEachMessage(Visit&& visit) {
    for (const auto& entry : catalogue_detail::kEntries)
        visit(entry.id, entry.text);
}
