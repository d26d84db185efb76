#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

#include "operations/file_access.h"
#include "platform/file_handle_win32.h"
#include "platform/system_error_win32.h"

namespace {

// Paths arrive as UTF-8 and go to the system as UTF-16, so that any file
// name works whatever the system's code page. Empty when the text is not
// UTF-8.
std::wstring Wide(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), size);
    wide.resize(static_cast<std::size_t>(size - 1));
    return wide;
}

void Explain(char* reason, std::size_t size, const char* path, const char* what, DWORD error) {
    if (reason == nullptr || size == 0) return;
    char text[480];
    SystemErrorText(error, text, sizeof text);
    std::snprintf(reason, size, "%s: %s: %s", path, what, text);
}

bool WriteAll(HANDLE file, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD put = 0;
        if (!WriteFile(file, data + done, chunk, &put, nullptr) || put == 0) return false;
        done += put;
    }
    return true;
}

}  // namespace

ResultCode ReadModuleFile(const char* path, std::uint8_t* buffer, std::size_t capacity,
                          std::size_t& bytesRead, char* reason, std::size_t reasonSize) {
    bytesRead = 0;
    const std::wstring widePath = Wide(path);
    if (widePath.empty()) {
        Explain(reason, reasonSize, path, "cannot open", ERROR_INVALID_NAME);
        return kErrFileOpen;
    }
    // No sharing: a file another program holds open is refused, and nobody
    // changes it while it is read.
    FileHandle file(CreateFileW(widePath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        Explain(reason, reasonSize, path, "cannot open", GetLastError());
        return kErrFileOpen;
    }
    // A device or a pipe is not a module file, and reading one could block
    // for ever; a folder does not open without backup semantics at all.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        Explain(reason, reasonSize, path, "cannot open", ERROR_INVALID_FUNCTION);
        return kErrFileOpen;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        Explain(reason, reasonSize, path, "cannot read", GetLastError());
        return kErrFileRead;
    }
    if (static_cast<std::uint64_t>(size.QuadPart) > capacity) {
        if (reason != nullptr && reasonSize > 0) {
            std::snprintf(reason, reasonSize, "%s: %lld bytes, more than a module holds (%llu)",
                          path, static_cast<long long>(size.QuadPart),
                          static_cast<unsigned long long>(capacity));
        }
        return kErrNotModule;
    }
    while (bytesRead < capacity) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(capacity - bytesRead, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer + bytesRead, chunk, &got, nullptr)) {
            Explain(reason, reasonSize, path, "cannot read", GetLastError());
            return kErrFileRead;
        }
        if (got == 0) break;
        bytesRead += got;
    }
    return kResultOk;
}

ResultCode WriteFileReplacing(const char* path, const std::uint8_t* data, std::size_t size,
                              char* reason, std::size_t reasonSize) {
    const std::wstring given = Wide(path);
    if (given.empty()) {
        Explain(reason, reasonSize, path, "cannot create", ERROR_INVALID_NAME);
        return kErrFileCreate;
    }
    // An existing target is opened for writing first, without truncating
    // it, so that whatever would stop a direct create stops the backup
    // before anything is written: a folder, a read-only file, a file
    // another program holds open without sharing. DELETE is asked for too,
    // as the final move needs it. The open also follows a symbolic link, so
    // the file the link names is the one replaced and the link stays.
    std::wstring target = given;
    {
        FileHandle existing(CreateFileW(given.c_str(), GENERIC_WRITE | DELETE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!existing.Valid()) {
            const DWORD error = GetLastError();
            // Nothing there yet: it is created. A dangling link is replaced
            // by the new file rather than followed, since only its reparse
            // data would name the missing file.
            if (error != ERROR_FILE_NOT_FOUND) {
                Explain(reason, reasonSize, path, "cannot create", error);
                return kErrFileCreate;
            }
        } else {
            // Windows refuses to open a read-only file for writing even to
            // an administrator; a file system that lets the open through
            // (Wine run by root, for one) must not see it replaced either.
            BY_HANDLE_FILE_INFORMATION info{};
            if (GetFileInformationByHandle(existing.get(), &info) &&
                (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
                Explain(reason, reasonSize, path, "cannot create", ERROR_ACCESS_DENIED);
                return kErrFileCreate;
            }
            const DWORD length = GetFinalPathNameByHandleW(existing.get(), nullptr, 0,
                                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            std::wstring resolved(length, L'\0');
            if (length != 0 &&
                GetFinalPathNameByHandleW(existing.get(), resolved.data(), length,
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) == length - 1) {
                resolved.resize(length - 1);
                target = resolved;
            }
        }
    }
    // The temporary file sits beside the target, so the final move stays
    // within one volume and replaces the target in one step. Its name is
    // short, so a target whose own name is near the system's limit still
    // has a neighbour.
    const std::size_t slash = target.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);

    std::wstring temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_FILE_EXISTS;
    for (unsigned attempt = 0;
         attempt < 100 && created == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS;
         ++attempt) {
        wchar_t name[32] = {};
        std::swprintf(name, 32, L".vx40-%lx-%u", static_cast<unsigned long>(GetCurrentProcessId()),
                      attempt);
        temporary = folder + name;
        created = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE) error = GetLastError();
    }
    FileHandle file(created);
    if (!file.Valid()) {
        Explain(reason, reasonSize, path, "cannot create", error);
        return kErrFileCreate;
    }
    // Removes the temporary file unless it was put in place.
    struct Cleanup {
        const std::wstring& path;
        bool keep = false;
        ~Cleanup() {
            if (!keep) DeleteFileW(path.c_str());
        }
    } cleanup{temporary};

    if (!WriteAll(file.get(), data, size) || !FlushFileBuffers(file.get())) {
        error = GetLastError();
        file.Close();  // DeleteFileW needs the handle closed
        Explain(reason, reasonSize, path, "cannot write", error);
        return kErrFileWrite;
    }
    if (!file.Close()) {
        Explain(reason, reasonSize, path, "cannot write", GetLastError());
        return kErrFileWrite;
    }
    if (!MoveFileExW(temporary.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Explain(reason, reasonSize, path, "cannot replace", GetLastError());
        return kErrFileWrite;
    }
    cleanup.keep = true;
    return kResultOk;
}

bool PathExists(const char* path) {
    const std::wstring widePath = Wide(path);
    return !widePath.empty() && GetFileAttributesW(widePath.c_str()) != INVALID_FILE_ATTRIBUTES;
}
