#include <unistd.h>

#include "cli/console.h"

void PrepareConsole() {}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    // File names and terminals are UTF-8 already.
    return std::vector<std::string>(argv, argv + argc);
}
