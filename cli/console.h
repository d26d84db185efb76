// The terminal the program runs in.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Makes the console show UTF-8 text as it is written (Windows). Output
// never ends the program: a closed pipe or terminal (SIGPIPE, SIGHUP on
// POSIX) only makes writes to it fail, so the work under way finishes and
// the service log and the report are written.
void PrepareConsole();

// True when `stream` is an interactive terminal.
bool IsTerminal(std::FILE* stream);

// The size of the terminal `stream` writes to, in characters; false when it
// is not a terminal or does not say.
bool TerminalSize(std::FILE* stream, int& columns, int& rows);

// The program's arguments as UTF-8, argv[0] included.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
