// Module writing: a module file of block records sent one per command 19.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dialog/command_context.h"
#include "protocol/result_code.h"

inline constexpr std::size_t kBlockRecordSize = 1030;  // 1028 data bytes and a 16-bit trailer
inline constexpr std::size_t kModuleRecordLimit = 112;
inline constexpr std::size_t kModuleBufferSize = kBlockRecordSize * kModuleRecordLimit;  // 115360
inline constexpr std::uint8_t kCommandWriteBlock = 19;

inline constexpr const char* kStatusWriting = "Запись";
inline constexpr const char* kStatusWriteDone = "Запись завершена";
// The path field's limit is 255 characters; longer text is cut to them. In
// UTF-8 a character takes up to four bytes (a Cyrillic one two), so the
// buffer that reads the field holds four times as many bytes.
inline constexpr int kPathLimit = 255;
inline constexpr std::size_t kPathBufferSize = 4 * kPathLimit + 1;

// Number of block records in a module file of `bytes` bytes, or
// kErrNotModule when it is empty, not a whole number of records, or longer
// than a module can be.
int ModuleRecordCount(std::size_t bytes);

// Sends `count` records with command 19, then identifies the device again.
// Counts the accepted records in context.recordsAccepted. Asks
// context.beforeFirstBlock, when set, before the first record.
ResultCode WriteModuleBlocks(CommandContext& context, const std::uint8_t* records,
                             std::uint8_t node, int count);

// The write button: reads and tests the file named in the path field before
// the port is touched, then identifies the device and writes the module.
// Returns 0 or the first failure.
ResultCode WriteModuleCommand(CommandContext& context);
