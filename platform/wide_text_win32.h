// The programs' texts are UTF-8; the system's wide functions take and give
// UTF-16. Text that does not convert cleanly is patched (U+FFFD) rather than
// refused.
#pragma once

#include <windows.h>

#include <string>

// UTF-8 to UTF-16; `length` bytes, or up to the terminator when negative.
// Empty when nothing converts.
inline std::wstring WideText(const char* text, int length = -1) {
    if (text == nullptr || length == 0) return std::wstring();
    const int units = MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, length, wide.data(), units);
    if (length < 0) wide.pop_back();  // the converted terminator
    return wide;
}

// UTF-16 to UTF-8; `length` units, or up to the terminator when negative.
// Empty when nothing converts.
inline std::string Utf8Text(const wchar_t* text, int length = -1) {
    if (text == nullptr || length == 0) return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), bytes, nullptr, nullptr);
    if (length < 0) utf8.pop_back();
    return utf8;
}
