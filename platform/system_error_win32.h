// The system's own words for a Windows or Winsock error number, for the
// reasons the programs show next to their messages.
#pragma once

#include <cstddef>

// Writes the system's text of `error` into `buffer` as UTF-8, without the
// full stop and line break the system ends it with, cut on a character
// boundary if `size` is small. Returns false when the system has no text
// for the number; the buffer then holds "error N".
bool SystemErrorText(unsigned long error, char* buffer, std::size_t size);
