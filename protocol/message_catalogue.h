// The message catalogue: the operator-facing text of every failure.
#pragma once

#include <span>
#include <string_view>

#include "protocol/result_code.h"

struct MessageEntry {
    int id;
    std::string_view text;  // UTF-8
};

// Every entry, in identifier order.
std::span<const MessageEntry> MessageEntries();

// Text of catalogue entry `id`; empty when there is no such entry.
std::string_view MessageText(int id);

// Text of the message that a ResultCode shows: the entry whose identifier is
// the negated code. Success and positive codes (file dialog failures) have no
// entry and give an empty text.
std::string_view MessageOf(ResultCode code);
