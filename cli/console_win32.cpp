#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <io.h>
#include <shellapi.h>

#include "cli/console.h"
#include "platform/wide_text_win32.h"

namespace {

struct ArgumentsHolder {
    LPWSTR* list;
    ~ArgumentsHolder() {
        if (list != nullptr) LocalFree(list);
    }
};

}  // namespace

void PrepareConsole() {
    // The texts are UTF-8; without this the console would show them in the
    // system's code page.
    SetConsoleOutputCP(CP_UTF8);
    // The rollout redraws its block of status lines with cursor movements;
    // a console that refuses them shows the sequences, which costs looks,
    // not function.
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error != INVALID_HANDLE_VALUE && GetConsoleMode(error, &mode))
        SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

bool TerminalSize(std::FILE* stream, int& columns, int& rows) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(handle, &info)) return false;
    columns = info.srWindow.Right - info.srWindow.Left + 1;
    rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return columns > 0 && rows > 0;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    // argv holds the arguments in the system's code page, which cannot carry
    // every file name; the wide command line can.
    int count = 0;
    const ArgumentsHolder wide{CommandLineToArgvW(GetCommandLineW(), &count)};
    if (wide.list == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(Utf8Text(wide.list[i]));
    return arguments;
}
