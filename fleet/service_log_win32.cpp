#include <windows.h>

#include <cwchar>
#include <filesystem>

#include "fleet/service_log.h"
#include "platform/file_handle_win32.h"
#include "platform/system_error_win32.h"
#include "platform/wide_text_win32.h"

namespace {

std::string SystemMessage(DWORD error) {
    char text[480];
    SystemErrorText(error, text, sizeof text);
    return text;
}

}  // namespace

std::string ServiceLogFolder(std::string& problem) {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || local[0] == L'\0') {
        problem = "LOCALAPPDATA is not set";
        return "";
    }
    return Utf8Text((std::filesystem::path(local) / L"vx40").c_str());
}

bool AppendWholeLine(const std::string& path, const std::string& line, std::string& problem) {
    // With FILE_APPEND_DATA alone (no FILE_WRITE_DATA) every write goes to
    // the end of the file as one step, so a whole line given to one
    // WriteFile lands in one piece after every line before it, whoever wrote
    // those. Others may read, append and rename meanwhile.
    const FileHandle file(CreateFileW(WideText(path.c_str()).c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        problem = path + ": cannot open: " + SystemMessage(GetLastError());
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        problem = path + ": cannot write: " + SystemMessage(GetLastError());
        return false;
    }
    if (written != line.size()) {
        problem = path + ": only part of the entry was written";
        return false;
    }
    return true;
}
