#include "operations/module_writer.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "dialog/control_ids.h"
#include "dialog/status.h"
#include "exchange/exchange.h"
#include "operations/device_identity.h"
#include "operations/dialog_inputs.h"
#include "operations/file_access.h"
#include "platform/utf8_prefix.h"

int ModuleRecordCount(std::size_t bytes) {
    if (bytes == 0 || bytes % kBlockRecordSize != 0 || bytes > kModuleBufferSize) {
        return kErrNotModule;
    }
    return static_cast<int>(bytes / kBlockRecordSize);
}

ResultCode WriteModuleBlocks(CommandContext& context, const std::uint8_t* records,
                             std::uint8_t node, int count) {
    LineState& line = context.line;
    context.recordsAccepted = 0;
    ShowStatus(context.dialog, kStatusWriting, 100, 0);
    // The device needs a moment after identification before the first block.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (context.beforeFirstBlock) {
        const ResultCode allowed = context.beforeFirstBlock();
        if (allowed != kResultOk) return allowed;
    }

    for (int i = 0; i < count; ++i) {
        line.PayloadBuffer[0] = line.SequenceNumber;
        line.PayloadBuffer[1] = node;
        line.PayloadBuffer[2] = kCommandWriteBlock;
        std::memcpy(line.PayloadBuffer + 3,
                    records + static_cast<std::size_t>(i) * kBlockRecordSize, kBlockRecordSize);
        const int result = Exchange(line, static_cast<int>(3 + kBlockRecordSize), node);
        if (result < 0) return result;
        ++context.recordsAccepted;
        // Shows i, not i + 1: the last block reads 99% of 112, the second
        // identification then completes the picture.
        ShowStatus(context.dialog, kStatusWriting, count, i);
    }
    const ResultCode result = IdentifyDevice(context, node);
    return result < 0 ? result : kResultOk;
}

ResultCode WriteModuleCommand(CommandContext& context) {
    context.recordsAccepted = 0;
    context.reason[0] = '\0';
    ResultCode result = kResultOk;
    {
        std::unique_ptr<std::uint8_t[]> module(new (std::nothrow)
                                                   std::uint8_t[kModuleBufferSize]());
        if (!module) {
            result = kErrUnknown;
        }

        char path[kPathBufferSize] = {};
        std::size_t bytesRead = 0;
        if (result == kResultOk) {
            context.dialog.GetItemText(kIdModulePath, path, sizeof path);
            path[Utf8CharactersLength(path, kPathLimit)] = '\0';
            // The file is read and tested before the port is touched: a bad
            // file costs no traffic on the line. A file longer than a module
            // is refused rather than cut to its first 112 records.
            result = ReadModuleFile(path, module.get(), kModuleBufferSize, bytesRead,
                                    context.reason, sizeof context.reason);
        }
        int count = 0;
        if (result == kResultOk) {
            count = ModuleRecordCount(bytesRead);
            if (count < 0) result = count;
        }

        std::uint8_t node = 0;
        if (result == kResultOk) {
            result = OpenPortFromDialog(context, node);
        }
        if (result == kResultOk) result = IdentifyDevice(context, node);
        if (result == kResultOk) result = WriteModuleBlocks(context, module.get(), node, count);
        if (result == kResultOk) ShowStatus(context.dialog, kStatusWriteDone, 100, 100);
    }
    CloseChannel(context.line.channel);
    return result;
}
