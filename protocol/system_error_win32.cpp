#include "protocol/system_error_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// Copies `length` bytes of UTF-8, fewer if `size` is too small, never
// splitting a character.
void CopyWhole(const char* text, std::size_t length, char* buffer, std::size_t size) {
    if (length >= size) {
        length = size - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    }
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
}

}  // namespace

bool SystemErrorText(unsigned long error, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return false;
    wchar_t wide[256] = {};
    DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(error), 0, wide,
                                 static_cast<DWORD>(sizeof wide / sizeof wide[0]), nullptr);
    while (units > 0 && (wide[units - 1] == L'\r' || wide[units - 1] == L'\n' ||
                         wide[units - 1] == L' ' || wide[units - 1] == L'.')) {
        --units;
    }
    // Three bytes at most for each UTF-16 unit.
    char text[sizeof wide / sizeof wide[0] * 3] = {};
    const int length = units == 0 ? 0
                                  : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units),
                                                        text, sizeof text, nullptr, nullptr);
    if (length <= 0) {
        std::snprintf(buffer, size, "error %lu", error);
        return false;
    }
    CopyWhole(text, static_cast<std::size_t>(length), buffer, size);
    return true;
}
