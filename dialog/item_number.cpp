#include "dialog/item_number.h"

std::uint32_t UnsignedItemValue(std::string_view text, bool& ok) {
    std::uint64_t value = 0;
    ok = !text.empty();
    for (const char c : text) {
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFu) {
            ok = false;
            break;
        }
    }
    return ok ? static_cast<std::uint32_t>(value) : 0;
}
