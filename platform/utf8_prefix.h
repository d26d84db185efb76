// Cutting UTF-8 text to fit a byte buffer without splitting a character, or
// to a number of characters, and counting its characters.
#pragma once

#include <cstddef>
#include <string_view>

// The length of the longest prefix of `text` that has at most `limit` bytes
// and ends on a character boundary: a character that would not fit whole is
// left out whole, so a cut text is still valid UTF-8.
constexpr std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    std::size_t length = limit;
    // Continuation bytes are 10xxxxxx; step back to the lead byte of the
    // character the cut falls into.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return length;
}

// The length in bytes of the first `characters` characters of `text`, or of
// all of it when it has no more: for limits that count characters, which
// take one to four bytes each.
constexpr std::size_t Utf8CharactersLength(std::string_view text, std::size_t characters) {
    std::size_t length = 0;
    for (std::size_t count = 0; length < text.size(); ++length) {
        const bool lead = (static_cast<unsigned char>(text[length]) & 0xC0) != 0x80;
        if (lead && count++ == characters) break;
    }
    return length;
}

// Characters (not bytes) in UTF-8 text.
constexpr std::size_t Utf8Width(std::string_view text) {
    std::size_t width = 0;
    for (const char c : text) {
        // Continuation bytes (10xxxxxx) belong to the character before.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
    }
    return width;
}
