// The terminal the program runs in.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Makes the console show UTF-8 text as it is written (Windows); nothing
// elsewhere.
void PrepareConsole();

// True when `stream` is an interactive terminal.
bool IsTerminal(std::FILE* stream);

// The program's arguments as UTF-8, argv[0] included.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
