#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/console.h"

void PrepareConsole() {
    // A reader that went away (`| head`, `| less` then q) or a terminal that
    // was closed must not kill a write half-way: the writes to it fail
    // instead, and the program finishes its work.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

bool TerminalSize(std::FILE* stream, int& columns, int& rows) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return false;
    columns = size.ws_col;
    rows = size.ws_row;
    return true;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    // File names and terminals are UTF-8 already.
    return std::vector<std::string>(argv, argv + argc);
}
