// The Windows side of the module and backup files, checked under Wine:
// UTF-8 paths with Cyrillic names, the refusals of the module reader, the
// all-or-nothing replacement of a backup file with no temporary file left
// behind, and the backup targets that cannot be replaced. Run by
// scripts/wine-tests.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "check_counter.h"
#include "operations/file_access.h"

namespace {

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(),
                                           static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<std::size_t>(length - 1) : 0);
    return wide;
}

// Names in `folder`, "." and ".." left out.
std::vector<std::wstring> Entries(const std::string& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return bytes;
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    char tempUtf8[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, temp, -1, tempUtf8, sizeof tempUtf8, nullptr, nullptr);
    const std::string folder =
        std::string(tempUtf8) + "vx40-files-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryW(Wide(folder).c_str(), nullptr);

    char reason[256] = {};
    std::vector<std::uint8_t> buffer(3 * 1030);
    std::size_t bytesRead = 0;

    // A backup under a Cyrillic name, read back as a module.
    const std::string backup = folder + "\\ВХ40_не задан_CFG.vx4";
    const auto first = Pattern(2 * 1030, 1);
    Check(WriteFileReplacing(backup.c_str(), first.data(), first.size(), reason, sizeof reason) ==
              kResultOk,
          "a new file is written");
    Check(PathExists(backup.c_str()), "the written file exists");
    Check(ReadModuleFile(backup.c_str(), buffer.data(), buffer.size(), bytesRead, reason,
                         sizeof reason) == kResultOk &&
              bytesRead == first.size() && std::equal(first.begin(), first.end(), buffer.begin()),
          "the file reads back byte for byte");

    // Replacing keeps nothing of the old contents and leaves no temporary file.
    const auto second = Pattern(1030, 9);
    Check(WriteFileReplacing(backup.c_str(), second.data(), second.size(), reason, sizeof reason) ==
              kResultOk,
          "an existing file is replaced");
    Check(ReadModuleFile(backup.c_str(), buffer.data(), buffer.size(), bytesRead, reason,
                         sizeof reason) == kResultOk &&
              bytesRead == second.size() &&
              std::equal(second.begin(), second.end(), buffer.begin()),
          "the replaced file holds only the new contents");
    Check(Entries(folder).size() == 1, "no temporary file is left after writing");

    // The target's folder is missing: -2025 with a reason.
    reason[0] = '\0';
    const std::string missing = folder + "\\no-such-folder\\x.vx4";
    Check(WriteFileReplacing(missing.c_str(), second.data(), second.size(), reason,
                             sizeof reason) == kErrFileCreate &&
              reason[0] != '\0',
          "a file in a missing folder cannot be created, with a reason");

    // A name near the system's limit still leaves room for the temporary
    // file beside it.
    const std::string longName = folder + "\\" + std::string(246, 'n') + ".vx4";
    Check(WriteFileReplacing(longName.c_str(), first.data(), first.size(), reason, sizeof reason) ==
                  kResultOk &&
              ReadModuleFile(longName.c_str(), buffer.data(), buffer.size(), bytesRead, reason,
                             sizeof reason) == kResultOk &&
              bytesRead == first.size(),
          "a 250-character name is written");

    // Targets a direct create could not open for writing are refused the
    // same way (-2025), with a reason, and stay as they were.
    const std::string subfolder = folder + "\\folder";
    CreateDirectoryW(Wide(subfolder).c_str(), nullptr);
    const std::string readOnly = folder + "\\только чтение.vx4";
    WriteFileReplacing(readOnly.c_str(), first.data(), first.size(), reason, sizeof reason);
    SetFileAttributesW(Wide(readOnly).c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE exclusive = CreateFileW(Wide(backup).c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(exclusive != INVALID_HANDLE_VALUE, "the backup can be held open without sharing");
    const std::size_t entries = Entries(folder).size();
    const struct {
        const char* what;
        const std::string& path;
    } refused[] = {{"a folder is refused with -2025", subfolder},
                   {"a read-only file is refused with -2025", readOnly},
                   {"a file held open without sharing is refused with -2025", backup}};
    for (const auto& target : refused) {
        reason[0] = '\0';
        Check(WriteFileReplacing(target.path.c_str(), second.data(), second.size(), reason,
                                 sizeof reason) == kErrFileCreate &&
                  reason[0] != '\0',
              target.what);
    }
    if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
    Check(Entries(folder).size() == entries &&
              (GetFileAttributesW(Wide(subfolder).c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0,
          "refused targets leave the folder and no temporary file");
    Check(ReadModuleFile(readOnly.c_str(), buffer.data(), buffer.size(), bytesRead, reason,
                         sizeof reason) == kResultOk &&
              bytesRead == first.size() && std::equal(first.begin(), first.end(), buffer.begin()),
          "the read-only file keeps its contents");
    Check(ReadModuleFile(backup.c_str(), buffer.data(), buffer.size(), bytesRead, reason,
                         sizeof reason) == kResultOk &&
              bytesRead == second.size() &&
              std::equal(second.begin(), second.end(), buffer.begin()),
          "the file held open keeps its contents");

    // The module reader's refusals.
    Check(ReadModuleFile((folder + "\\missing.vx4").c_str(), buffer.data(), buffer.size(),
                         bytesRead, reason, sizeof reason) == kErrFileOpen,
          "a missing file cannot be opened");
    Check(ReadModuleFile(subfolder.c_str(), buffer.data(), buffer.size(), bytesRead, reason,
                         sizeof reason) == kErrFileOpen,
          "a folder is not a module file");
    Check(ReadModuleFile("", buffer.data(), buffer.size(), bytesRead, reason, sizeof reason) ==
              kErrFileOpen,
          "an empty path cannot be opened");
    const auto longer = Pattern(buffer.size() + 1, 3);
    const std::string tooLong = folder + "\\long.vx4";
    WriteFileReplacing(tooLong.c_str(), longer.data(), longer.size(), reason, sizeof reason);
    bytesRead = 99;
    Check(ReadModuleFile(tooLong.c_str(), buffer.data(), buffer.size(), bytesRead, reason,
                         sizeof reason) == kErrNotModule &&
              bytesRead == 0,
          "a file longer than the buffer is refused without reading");

    // A file another program holds open is refused.
    const HANDLE holder = CreateFileW(Wide(backup).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(holder != INVALID_HANDLE_VALUE, "the file can be held open");
    Check(ReadModuleFile(backup.c_str(), buffer.data(), buffer.size(), bytesRead, reason,
                         sizeof reason) == kErrFileOpen,
          "a file held open elsewhere cannot be opened");
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);

    Check(!PathExists((folder + "\\missing.vx4").c_str()), "a missing path does not exist");

    DeleteFileW(Wide(backup).c_str());
    DeleteFileW(Wide(tooLong).c_str());
    DeleteFileW(Wide(longName).c_str());
    SetFileAttributesW(Wide(readOnly).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(Wide(readOnly).c_str());
    RemoveDirectoryW(Wide(subfolder).c_str());
    RemoveDirectoryW(Wide(folder).c_str());
    return FinishChecks();
}
