#include "cli/terminal_dialog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/status_output.h"
#include "dialog/control_ids.h"
#include "dialog/item_number.h"
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

void TerminalDialog::SetField(int id, std::string text) {
    fields_[id] = std::move(text);
}

std::string TerminalDialog::Field(int id) const {
    const auto found = fields_.find(id);
    return found == fields_.end() ? std::string() : found->second;
}

bool TerminalDialog::Identified() const {
    // An identification blanks the five fields first and fills the last of
    // them, the required boot version, only once it has succeeded; that
    // field is never empty after a success.
    return !Field(kIdRequiredBoot).empty();
}

std::array<std::string, 5> TerminalDialog::IdentityFields() const {
    std::array<std::string, 5> fields;
    for (std::size_t i = 0; i < fields.size(); ++i)
        fields[i] = Field(kIdentityFields[i]);
    return fields;
}

int TerminalDialog::GetItemText(int id, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    const std::string text = Field(id);
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}

std::uint32_t TerminalDialog::GetItemUnsigned(int id, bool& ok) {
    return UnsignedItemValue(Field(id), ok);
}

void TerminalDialog::SetItemText(int id, const char* text) {
    fields_[id] = text != nullptr ? text : "";
    // The required boot version is filled last, and only by an
    // identification that succeeded (see Identified).
    if (id == kIdRequiredBoot && Identified()) {
        identifications_.push_back(IdentityFields());
    }
    // ShowStatus writes the text first, then the percentage: the line is
    // complete once the percentage arrives.
    if (id == kIdStatusPercent) status_.Show(Field(kIdStatusText), fields_[id]);
}

void TerminalDialog::EnableItem(int, bool) {}

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

bool TerminalDialog::AskOpenPath(char*, std::size_t, const char*, std::uint32_t& extendedError) {
    // The module file comes from the command line; nothing asks for it.
    extendedError = 0;
    return false;
}

bool TerminalDialog::ProgramDirectory(char* buffer, std::size_t size) {
    // Offered to the file questions only, which the command line answers.
    if (size > 0) buffer[0] = '\0';
    return true;
}

void TerminalDialog::PostCommand(std::uint32_t, std::uintptr_t, std::intptr_t) {}
