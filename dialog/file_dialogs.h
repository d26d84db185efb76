// The Open and Save As questions with their shared rules: the program's own
// folder is offered only by the first file dialog of a run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dialog/command_context.h"
#include "protocol/result_code.h"

inline constexpr std::size_t kFileNameBufferSize = 4096;
// Description and pattern pair of module files, in the platform's list form.
inline constexpr char kModuleFilter[] = "Модули Velmo 2.0 (.vx4)\0*.vx4\0";

// Fills a zeroed buffer with the program's folder; false when unknown.
bool ProgramDirectory(CommandContext& context, char* buffer, std::size_t size);

// Runs the Save As question with the caller's buffers. True when a name was
// confirmed (the full path is then in `nameBuffer`); otherwise
// `extendedError` is 0 for a cancel or the dialog's error number.
bool AskSavePath(CommandContext& context, char* nameBuffer, const char* directory,
                 std::uint32_t& extendedError);

// The "Найти файл" button: the Open question; a chosen file goes into the
// path field. 0 (also on cancel), the dialog's error number, or kErrUnknown.
ResultCode BrowseModule(CommandContext& context);
