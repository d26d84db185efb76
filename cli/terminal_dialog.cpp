#include "cli/terminal_dialog.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/status_output.h"
#include "operations/file_access.h"

namespace {

// FNERR_BUFFERTOOSMALL: the chosen path does not fit the caller's buffer.
constexpr std::uint32_t kBufferTooSmallError = 0x3003;

bool IsDirectory(const std::string& utf8Path) {
    const std::u8string text(utf8Path.begin(), utf8Path.end());
    std::error_code error;
    return std::filesystem::is_directory(std::filesystem::path(text), error);
}

bool EndsWithSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

}  // namespace

bool NamesFolder(const std::string& answer) {
    return answer.empty() || EndsWithSeparator(answer) || IsDirectory(answer);
}

std::string BackupTarget(const std::string& answer, const std::string& proposedName) {
    if (answer.empty()) return proposedName;
    if (EndsWithSeparator(answer)) return answer + proposedName;
    if (IsDirectory(answer)) return answer + "/" + proposedName;
    return answer;
}

TerminalDialog::TerminalDialog(StatusOutput& status, SaveAnswer answer)
    : status_(status), answer_(std::move(answer)) {}

void TerminalDialog::ShowMessageBox(const char* text, const char* caption, unsigned) {
    // The front-end reports failures itself; a box asked for by a command
    // still reaches the technician.
    status_.BreakLine();
    std::fprintf(stderr, "%s: %s\n", caption, text);
}

bool TerminalDialog::AskSavePath(char* nameBuffer, std::size_t size, const char*,
                                 std::uint32_t& extendedError) {
    extendedError = 0;
    const std::string target = BackupTarget(answer_.path, nameBuffer);
    // The window program asks before it replaces a file; a script cannot be
    // asked, so only --force replaces one.
    if (!answer_.force && PathExists(target.c_str())) {
        refusedTarget_ = target;
        extendedError = kTargetExistsError;
        return false;
    }
    if (target.size() + 1 > size) {
        extendedError = kBufferTooSmallError;
        return false;
    }
    std::memcpy(nameBuffer, target.c_str(), target.size() + 1);
    return true;
}

void TerminalDialog::StatusChanged(const std::string& text, const std::string& percent) {
    status_.Show(text, percent);
}
