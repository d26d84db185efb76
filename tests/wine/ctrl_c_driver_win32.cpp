// Presses Ctrl-C in the console of a program it starts, for the Wine checks
// of vx40's interrupt handling: a program that Wine starts from a Unix shell
// has no console in which a Ctrl-C could be pressed.
//
// Usage: vx40_ctrl_c_driver OUT ERR TEXT... -- PROGRAM [ARGS...]
//
// Starts PROGRAM in a console of its own that has no window, with its stdout
// and stderr going to the files OUT and ERR, and presses Ctrl-C once for each
// TEXT in turn, as soon as ERR holds that TEXT after the previous press. Its
// exit code is PROGRAM's, or 125 when PROGRAM could not be started or ended
// before every TEXT came (said on stderr). The rest of the command line after
// " -- " is PROGRAM's command line as it stands.
#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/file_handle_win32.h"
#include "platform/wide_text_win32.h"

namespace {

constexpr int kDriverFailed = 125;
constexpr DWORD kPollMs = 50;
constexpr int kAttachTries = 200;  // 10 s

struct ArgumentsHolder {
    LPWSTR* list;
    ~ArgumentsHolder() {
        if (list != nullptr) LocalFree(list);
    }
};

// The presses are meant for PROGRAM; this process shares its console.
BOOL WINAPI IgnoreControl(DWORD) {
    return TRUE;
}

HANDLE OutputFile(const wchar_t* path) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Appends to `text` what the file at `path` holds beyond its first
// text.size() bytes.
void ReadMore(const wchar_t* path, std::string& text) {
    const FileHandle file(CreateFileW(path, GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(text.size());
    if (!file.Valid() || !SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) return;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
}

}  // namespace

int main() {
    int count = 0;
    const ArgumentsHolder arguments{CommandLineToArgvW(GetCommandLineW(), &count)};
    int marker = 3;
    while (marker < count && std::wcscmp(arguments.list[marker], L"--") != 0)
        ++marker;
    const wchar_t* rest = std::wcsstr(GetCommandLineW(), L" -- ");
    if (marker + 1 >= count || rest == nullptr) {
        std::fprintf(stderr, "usage: vx40_ctrl_c_driver OUT ERR TEXT... -- PROGRAM [ARGS...]\n");
        return kDriverFailed;
    }
    std::wstring commandLine(rest + 4);
    std::vector<std::string> texts;
    for (int i = 3; i < marker; ++i)
        texts.push_back(Utf8Text(arguments.list[i]));

    const wchar_t* errPath = arguments.list[2];
    const FileHandle out(OutputFile(arguments.list[1]));
    const FileHandle err(OutputFile(errPath));
    if (!out.Valid() || !err.Valid()) {
        std::fprintf(stderr, "cannot create the output files\n");
        return kDriverFailed;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    // A console without a window: there may be no display.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "cannot start %ls (error %lu)\n", commandLine.c_str(), GetLastError());
        return kDriverFailed;
    }
    const FileHandle program(process.hProcess);
    const FileHandle thread(process.hThread);

    // Into PROGRAM's console, once it has one.
    FreeConsole();
    bool attached = false;
    DWORD attachError = 0;
    for (int tries = 0; !attached && tries < kAttachTries; ++tries) {
        attached = AttachConsole(process.dwProcessId) != 0;
        attachError = GetLastError();
        if (!attached && WaitForSingleObject(program.get(), kPollMs) == WAIT_OBJECT_0) break;
    }
    SetConsoleCtrlHandler(IgnoreControl, TRUE);

    std::string shown;
    std::size_t pressed = 0;
    std::size_t after = 0;  // where the text of the next press is looked for
    while (WaitForSingleObject(program.get(), kPollMs) == WAIT_TIMEOUT) {
        if (!attached || pressed == texts.size()) continue;
        ReadMore(errPath, shown);
        if (shown.find(texts[pressed], after) == std::string::npos) continue;
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        ++pressed;
        after = shown.size();
    }
    DWORD exitCode = kDriverFailed;
    GetExitCodeProcess(program.get(), &exitCode);
    if (!attached) {
        std::fprintf(stderr, "no console to press Ctrl-C in (error %lu)\n", attachError);
        return kDriverFailed;
    }
    if (pressed < texts.size()) {
        std::fprintf(stderr, "the program ended (%lu) before \"%s\" came\n", exitCode,
                     texts[pressed].c_str());
        return kDriverFailed;
    }
    return static_cast<int>(exitCode);
}
