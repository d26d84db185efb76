#include "dialog/file_dialogs.h"

#include <cstring>
#include <memory>
#include <new>

#include "dialog/control_ids.h"

namespace {

// The program's folder is offered by the first file dialog of a run only,
// whether that one was confirmed or cancelled.
const char* InitialDirectory(CommandContext& context, const char* directory) {
    if (context.InitialDirUsed) return nullptr;
    context.InitialDirUsed = true;
    return directory;
}

}  // namespace

bool ProgramDirectory(CommandContext& context, char* buffer, std::size_t size) {
    return context.dialog.ProgramDirectory(buffer, size);
}

bool AskSavePath(CommandContext& context, char* nameBuffer, const char* directory,
                 std::uint32_t& extendedError) {
    extendedError = 0;
    return context.dialog.AskSavePath(nameBuffer, kFileNameBufferSize,
                                      InitialDirectory(context, directory), extendedError);
}

ResultCode BrowseModule(CommandContext& context) {
    std::unique_ptr<char[]> name(new (std::nothrow) char[kFileNameBufferSize]());
    std::unique_ptr<char[]> directory(new (std::nothrow) char[kFileNameBufferSize]());
    if (!name || !directory) return kErrUnknown;
    // The folder is determined on every dialog, even when it is not offered.
    if (!ProgramDirectory(context, directory.get(), kFileNameBufferSize)) return kErrUnknown;
    std::uint32_t extendedError = 0;
    if (!context.dialog.AskOpenPath(name.get(), kFileNameBufferSize,
                                    InitialDirectory(context, directory.get()), extendedError)) {
        return static_cast<ResultCode>(extendedError);
    }
    context.dialog.SetItemText(kIdModulePath, name.get());
    return kResultOk;
}
