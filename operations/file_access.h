// The files the operations read and write: module files in, backup files
// out. Paths are UTF-8. On failure the system's reason is written into
// `reason` (`reasonSize` bytes) for the technician.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/result_code.h"

// Reads a whole module file into `buffer`. The file is opened for reading
// without sharing where the system allows it (kErrFileOpen when it cannot be
// opened or is not a regular file), refused without reading when it is
// longer than `capacity` (kErrNotModule), then read (kErrFileRead).
ResultCode ReadModuleFile(const char* path, std::uint8_t* buffer, std::size_t capacity,
                          std::size_t& bytesRead, char* reason, std::size_t reasonSize);

// Writes `size` bytes as the file `path`, all or nothing: into a temporary
// file with a short name beside it, flushed to disk, then put in place of
// `path`. A symbolic link is followed (on POSIX a dangling one too) and the
// file it names is written; the link stays. On POSIX a new file gets the
// usual mode (the umask applied) and a replaced one keeps its own.
// kErrFileCreate when the file could not be opened for writing directly
// either: an existing target that is a folder, is not writable by this
// process or (on Windows) is held open by another program, or a temporary
// file that cannot be made. kErrFileWrite when writing, flushing or
// replacing fails. On any failure the temporary file is removed and a file
// already at `path` stays as it was.
ResultCode WriteFileReplacing(const char* path, const std::uint8_t* data, std::size_t size,
                              char* reason, std::size_t reasonSize);

bool PathExists(const char* path);
