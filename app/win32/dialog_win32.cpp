#include "app/win32/dialog_win32.h"

#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "dialog/file_dialogs.h"
#include "platform/utf8_prefix.h"
#include "platform/wide_text_win32.h"

namespace {

// Copies as much of `text` as fits into `buffer` (size - 1 bytes and a
// terminator), never splitting a character; returns the length copied.
int CopyUtf8(std::string_view text, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    const std::size_t length = Utf8PrefixLength(text, size - 1);
    text.copy(buffer, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}

// The module filter in the wide form, with its inner and closing zeros: the
// shared constant converted with its full length rather than up to its first
// terminator.
std::wstring WideModuleFilter() {
    return WideText(kModuleFilter, static_cast<int>(sizeof kModuleFilter));
}

}  // namespace

void Win32Dialog::Attach(HWND window, HINSTANCE instance) {
    window_ = window;
    instance_ = instance;
}

int Win32Dialog::GetItemText(int id, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    buffer[0] = '\0';
    // The whole text is read and then cut as UTF-8, so the limit counts bytes
    // as the callers mean it and no character is split.
    const LRESULT length = SendDlgItemMessageW(window_, id, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) return 0;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const UINT read = GetDlgItemTextW(window_, id, text.data(), static_cast<int>(text.size()));
    return CopyUtf8(Utf8Text(text.data(), static_cast<int>(read)), buffer,
                    static_cast<std::size_t>(size));
}

std::uint32_t Win32Dialog::GetItemUnsigned(int id, bool& ok) {
    BOOL translated = FALSE;
    const UINT value = GetDlgItemInt(window_, id, &translated, FALSE);
    ok = translated != FALSE;
    return ok ? value : 0;
}

void Win32Dialog::SetItemText(int id, const char* text) {
    SetDlgItemTextW(window_, id, WideText(text).c_str());
}

void Win32Dialog::EnableItem(int id, bool enable) {
    EnableWindow(GetDlgItem(window_, id), enable ? TRUE : FALSE);
}

int Win32Dialog::LoadMessage(int id, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    buffer[0] = '\0';
    // The catalogue's texts are at most 255 characters.
    wchar_t text[256] = {};
    const int length = LoadStringW(instance_, static_cast<UINT>(id), text, 256);
    if (length <= 0) return 0;
    return CopyUtf8(Utf8Text(text, length), buffer, static_cast<std::size_t>(size));
}

void Win32Dialog::ShowMessageBox(const char* text, const char* caption, unsigned style) {
    MessageBoxW(window_, WideText(text).c_str(), WideText(caption).c_str(), style);
}

bool Win32Dialog::AskSavePath(char* nameBuffer, std::size_t size, const char* initialDir,
                              std::uint32_t& extendedError) {
    return AskPath(FileQuestion::Save, nameBuffer, size, initialDir, extendedError);
}

bool Win32Dialog::AskOpenPath(char* nameBuffer, std::size_t size, const char* initialDir,
                              std::uint32_t& extendedError) {
    return AskPath(FileQuestion::Open, nameBuffer, size, initialDir, extendedError);
}

bool Win32Dialog::AskPath(FileQuestion question, char* nameBuffer, std::size_t size,
                          const char* initialDir, std::uint32_t& extendedError) {
    extendedError = 0;
    // The dialog's own buffer holds as many UTF-16 units as the caller's
    // holds bytes; it starts with the proposed name (empty for Open).
    std::vector<wchar_t> name(kFileNameBufferSize, L'\0');
    const std::wstring proposed = WideText(nameBuffer);
    std::copy_n(proposed.begin(), std::min(proposed.size(), name.size() - 1), name.begin());
    const std::wstring filter = WideModuleFilter();
    const std::wstring directory = WideText(initialDir);

    OPENFILENAMEW dialog{};
    // The size of the structure without its three trailing fields (the
    // pointer to reserved data, a reserved word and the extended flags): the
    // form every Windows version since NT 4 accepts. On x86_64 that is 136
    // bytes, not the 76 of the 32-bit form; 76 here would make every dialog
    // fail with CDERR_STRUCTSIZE.
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 0;  // no custom filter: the first pair
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(name.size());
    dialog.lpstrInitialDir = initialDir != nullptr ? directory.c_str() : nullptr;
    // No title and no default extension: the system's titles apply, and a
    // name typed without ".vx4" is used as typed.
    if (question == FileQuestion::Open) {
        dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    } else {
        dialog.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    }
    const BOOL confirmed =
        question == FileQuestion::Open ? GetOpenFileNameW(&dialog) : GetSaveFileNameW(&dialog);
    if (!confirmed) {
        extendedError = CommDlgExtendedError();
        return false;
    }
    // A chosen path that does not fit the caller's buffer as UTF-8 is refused
    // rather than cut, as the dialog itself refuses one too long for its own.
    const std::string chosen = Utf8Text(name.data());
    if (nameBuffer == nullptr || chosen.size() >= size) {
        extendedError = FNERR_BUFFERTOOSMALL;
        return false;
    }
    CopyUtf8(chosen, nameBuffer, size);
    return true;
}

bool Win32Dialog::ProgramDirectory(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return false;
    std::vector<wchar_t> path(kFileNameBufferSize, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    // A length of the whole buffer means the path was cut.
    if (length == 0 || length >= path.size()) return false;
    const std::wstring_view whole(path.data(), length);
    const std::size_t backslash = whole.rfind(L'\\');
    if (backslash == std::wstring_view::npos) return false;
    const std::string directory = Utf8Text(path.data(), static_cast<int>(backslash + 1));
    if (directory.size() >= size) return false;
    CopyUtf8(directory, buffer, size);
    return true;
}

void Win32Dialog::PostCommand(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    PostMessageW(window_, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}
