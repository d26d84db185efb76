// The module file check on arbitrary file contents: the file is read back
// whole, and accepted exactly when it is a non-empty whole number of block
// records no longer than a module.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "operations/file_access.h"
#include "operations/module_writer.h"

namespace {
std::uint8_t module[kModuleBufferSize];

// The one file every run rewrites; removed when the fuzzer exits.
struct TemporaryFile {
    TemporaryFile() {
        char name[] = "/tmp/vx40-module-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
    }
    ~TemporaryFile() { unlink(path.c_str()); }
    std::string path;
};
const std::string& Path() {
    static const TemporaryFile file;
    return file.path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Sizes near the limits matter more than contents: stretch short inputs
    // to a size taken from their first bytes.
    std::size_t fileSize = size;
    if (size >= 3)
        fileSize = (static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8 |
                    static_cast<std::size_t>(data[2]) << 16) %
                   (kModuleBufferSize + 2 * kBlockRecordSize);
    FILE* file = std::fopen(Path().c_str(), "wb");
    if (file == nullptr) return 0;
    for (std::size_t i = 0; i < fileSize; ++i)
        std::fputc(size == 0 ? 0 : data[i % size], file);
    std::fclose(file);

    std::size_t bytesRead = 0;
    char reason[256];
    const ResultCode result =
        ReadModuleFile(Path().c_str(), module, kModuleBufferSize, bytesRead, reason, sizeof reason);
    const int records = result == kResultOk ? ModuleRecordCount(bytesRead) : result;

    const bool whole =
        fileSize > 0 && fileSize % kBlockRecordSize == 0 && fileSize <= kModuleBufferSize;
    if (whole != (records > 0)) std::abort();
    if (whole &&
        (bytesRead != fileSize || records != static_cast<int>(fileSize / kBlockRecordSize)))
        std::abort();
    if (!whole && records != kErrNotModule) std::abort();
    for (std::size_t i = 0; whole && i < fileSize; ++i) {
        if (module[i] != data[i % size]) std::abort();
    }
    return 0;
}
