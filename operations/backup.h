// Calibration and configuration backup: blocks read with command 21 and saved
// as a file of block records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dialog/command_context.h"
#include "protocol/result_code.h"

enum class BackupKind { Calibration, Configuration };

inline constexpr std::uint8_t kCommandReadBlock = 21;
inline constexpr int kBackupRecordLimit = 6;
inline constexpr const char* kStatusReadingBlocks = "Чтение конфигурации";
inline constexpr const char* kStatusSaved = "Сохранение завершено";

struct BackupLayout {
    std::uint32_t firstAddress;
    int blocks;
    const char* suffix;
};
BackupLayout LayoutOf(BackupKind kind);

// Reads the kind's blocks into `records` (room for the kind's block count).
ResultCode ReadBackupBlocks(CommandContext& context, std::uint8_t* records, std::uint8_t node,
                            BackupKind kind);

// The proposed file name: device type, serial number and suffix joined by
// "_", with characters that cannot stand in a file name replaced by "_".
void ProposedBackupName(const char* deviceType, const char* serialNumber, BackupKind kind,
                        char* buffer, std::size_t size);

// The save buttons. 0 on success and when the operator cancels the save
// question; a positive value when the question itself failed. `savedPath`,
// if given, receives the path written (`savedPathSize` bytes).
ResultCode SaveBackupCommand(CommandContext& context, BackupKind kind, char* savedPath = nullptr,
                             std::size_t savedPathSize = 0);
