#include "platform/system_error_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/utf8_prefix.h"

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
    const std::size_t kept =
        Utf8PrefixLength(std::string_view(text, static_cast<std::size_t>(length)), size - 1);
    std::memcpy(buffer, text, kept);
    buffer[kept] = '\0';
    return true;
}
