// Loads every catalogue entry from the program's own string table with
// LoadStringW and compares it with the C++ catalogue, so the Windows programs
// are known to show the same texts. Run under Wine by scripts/test.
#include <windows.h>

#include <cstdio>
#include <string>

#include "check_counter.h"
#include "protocol/message_catalogue.h"

int main() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const auto& [id, text] : MessageEntries()) {
        wchar_t expected[512] = {};
        const int expectedLength =
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                static_cast<int>(text.size()), expected, 511);
        wchar_t loaded[512] = {};
        const int loadedLength = LoadStringW(instance, static_cast<UINT>(id), loaded, 511);
        char what[96];
        std::snprintf(what, sizeof what, "string %d differs (loaded %d characters, expected %d)",
                      id, loadedLength, expectedLength);
        Check(expectedLength > 0 && expectedLength == loadedLength &&
                  std::wstring(expected, static_cast<std::size_t>(expectedLength)) == loaded,
              what);
    }
    // An identifier without an entry loads nothing.
    wchar_t none[16] = {};
    Check(LoadStringW(instance, 2004, none, 15) == 0, "string 2004 should not exist");
    return FinishChecks();
}
