// The program's texts are UTF-8; the system's wide functions take and give
// UTF-16. Text that does not convert cleanly is patched (U+FFFD) rather than
// refused.
#pragma once

#include <windows.h>

#include <string>

// `text` as UTF-16; empty when it cannot be converted at all.
inline std::wstring WideOfUtf8(const std::string& text) {
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (units <= 0) return L"";
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), units);
    wide.resize(static_cast<std::size_t>(units - 1));
    return wide;
}

// The zero-terminated `text` as UTF-8; empty when it cannot be converted at
// all.
inline std::string Utf8OfWide(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return "";
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), bytes, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(bytes - 1));
    return utf8;
}
