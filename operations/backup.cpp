#include "operations/backup.h"

#include <cstring>
#include <memory>
#include <new>

#include "dialog/control_ids.h"
#include "dialog/file_dialogs.h"
#include "dialog/status.h"
#include "exchange/exchange.h"
#include "operations/device_identity.h"
#include "operations/dialog_inputs.h"
#include "operations/file_access.h"
#include "operations/module_writer.h"

namespace {

constexpr std::uint32_t kBlockAddressStep = 0x400;
// Each identity field contributes at most this many bytes to the name.
constexpr int kNamePieceLimit = 20;

bool CannotStandInFileName(unsigned char c) {
    return c < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c) != nullptr;
}

}  // namespace

BackupLayout LayoutOf(BackupKind kind) {
    return kind == BackupKind::Calibration ? BackupLayout{0x2000, 1, "CLB.vx4"}
                                           : BackupLayout{0x2800, 6, "CFG.vx4"};
}

ResultCode ReadBackupBlocks(CommandContext& context, std::uint8_t* records, std::uint8_t node,
                            BackupKind kind) {
    LineState& line = context.line;
    const BackupLayout layout = LayoutOf(kind);
    ShowStatus(context.dialog, kStatusReadingBlocks, 100, 0);
    for (int i = 0; i < layout.blocks; ++i) {
        const std::uint32_t address =
            layout.firstAddress + static_cast<std::uint32_t>(i) * kBlockAddressStep;
        line.PayloadBuffer[0] = line.SequenceNumber;
        line.PayloadBuffer[1] = node;
        line.PayloadBuffer[2] = kCommandReadBlock;
        for (int b = 0; b < 4; ++b) {
            line.PayloadBuffer[3 + b] = static_cast<std::uint8_t>(address >> (8 * b));
        }
        const int result = Exchange(line, 7, node);
        if (result < 0) return result;
        // A short reply is not refused: the payload area beyond it reads as
        // zero, and so does the record there.
        std::memcpy(records + static_cast<std::size_t>(i) * kBlockRecordSize,
                    line.PayloadBuffer + 4, kBlockRecordSize);
        ShowStatus(context.dialog, kStatusReadingBlocks, 100, (100 / layout.blocks) * (i + 1));
    }
    ShowStatus(context.dialog, kStatusReadDone, 100, 100);
    return kResultOk;
}

void ProposedBackupName(const char* deviceType, const char* serialNumber, BackupKind kind,
                        char* buffer, std::size_t size) {
    if (size == 0) return;
    std::size_t length = 0;
    auto append = [&](const char* text) {
        for (; *text != '\0' && length + 1 < size; ++text) {
            const auto c = static_cast<unsigned char>(*text);
            buffer[length++] = CannotStandInFileName(c) ? '_' : static_cast<char>(c);
        }
    };
    append(deviceType);
    append("_");
    append(serialNumber);
    append("_");
    append(LayoutOf(kind).suffix);
    buffer[length] = '\0';
}

ResultCode SaveBackupCommand(CommandContext& context, BackupKind kind, char* savedPath,
                             std::size_t savedPathSize) {
    context.reason[0] = '\0';
    if (savedPath != nullptr && savedPathSize > 0) savedPath[0] = '\0';
    ResultCode result = kResultOk;
    {
        const BackupLayout layout = LayoutOf(kind);
        std::unique_ptr<std::uint8_t[]> records(
            new (std::nothrow) std::uint8_t[kBlockRecordSize * kBackupRecordLimit]());
        if (!records) result = kErrUnknown;

        std::uint8_t node = 0;
        if (result == kResultOk) {
            result = OpenPortFromDialog(context, node);
        }
        if (result == kResultOk) result = IdentifyDevice(context, node);
        if (result == kResultOk) result = ReadBackupBlocks(context, records.get(), node, kind);

        std::unique_ptr<char[]> name;
        std::unique_ptr<char[]> directory;
        if (result == kResultOk) {
            name.reset(new (std::nothrow) char[kFileNameBufferSize]());
            directory.reset(new (std::nothrow) char[kFileNameBufferSize]());
            if (!name || !directory ||
                !ProgramDirectory(context, directory.get(), kFileNameBufferSize)) {
                result = kErrUnknown;
            }
        }
        if (result == kResultOk) {
            char deviceType[kNamePieceLimit] = {};
            char serialNumber[kNamePieceLimit] = {};
            context.dialog.GetItemText(kIdDeviceType, deviceType, sizeof deviceType);
            context.dialog.GetItemText(kIdSerialNumber, serialNumber, sizeof serialNumber);
            ProposedBackupName(deviceType, serialNumber, kind, name.get(), kFileNameBufferSize);

            std::uint32_t extendedError = 0;
            if (!AskSavePath(context, name.get(), directory.get(), extendedError)) {
                // 0 when the operator cancelled: nothing is shown.
                result = static_cast<ResultCode>(extendedError);
            } else {
                result =
                    WriteFileReplacing(name.get(), records.get(),
                                       kBlockRecordSize * static_cast<std::size_t>(layout.blocks),
                                       context.reason, sizeof context.reason);
                if (result == kResultOk) {
                    ShowStatus(context.dialog, kStatusSaved, 100, 100);
                    if (savedPath != nullptr && savedPathSize > 0) {
                        std::strncpy(savedPath, name.get(), savedPathSize - 1);
                        savedPath[savedPathSize - 1] = '\0';
                    }
                }
            }
        }
    }
    CloseChannel(context.line.channel);
    return result;
}
