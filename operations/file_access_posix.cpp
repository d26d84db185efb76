#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "operations/file_access.h"

namespace {

// Closes a descriptor on every path.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || close(fd) == 0;
    }

  private:
    int fd_;
};

void Explain(char* reason, std::size_t size, const char* path, const char* what, int error) {
    if (reason == nullptr || size == 0) return;
    std::snprintf(reason, size, "%s: %s: %s", path, what, std::strerror(error));
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace

ResultCode ReadModuleFile(const char* path, std::uint8_t* buffer, std::size_t capacity,
                          std::size_t& bytesRead, char* reason, std::size_t reasonSize) {
    bytesRead = 0;
    Descriptor file(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        Explain(reason, reasonSize, path, "cannot open", errno);
        return kErrFileOpen;
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) {
        Explain(reason, reasonSize, path, "cannot open", errno);
        return kErrFileOpen;
    }
    // A folder, a device or a pipe is not a module file; reading a pipe or a
    // device could also block for ever.
    if (!S_ISREG(info.st_mode)) {
        Explain(reason, reasonSize, path, "cannot open", S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        return kErrFileOpen;
    }
    // Another writer holding an exclusive lock is refused, as on Windows.
    if (flock(file.get(), LOCK_SH | LOCK_NB) != 0) {
        Explain(reason, reasonSize, path, "cannot open", errno);
        return kErrFileOpen;
    }
    if (static_cast<std::uint64_t>(info.st_size) > capacity) {
        if (reason != nullptr && reasonSize > 0) {
            std::snprintf(reason, reasonSize, "%s: %lld bytes, more than a module holds (%zu)",
                          path, static_cast<long long>(info.st_size), capacity);
        }
        return kErrNotModule;
    }
    while (bytesRead < capacity) {
        const ssize_t got = read(file.get(), buffer + bytesRead, capacity - bytesRead);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            Explain(reason, reasonSize, path, "cannot read", errno);
            return kErrFileRead;
        }
        if (got == 0) break;
        bytesRead += static_cast<std::size_t>(got);
    }
    return kResultOk;
}

ResultCode WriteFileReplacing(const char* path, const std::uint8_t* data, std::size_t size,
                              char* reason, std::size_t reasonSize) {
    // The temporary file sits beside the target so the final rename stays
    // within one file system and is atomic.
    std::string target(path);
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temporary =
        (slash == std::string::npos ? std::string() : folder) + "." + name + ".partial-XXXXXX";

    Descriptor file(mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) {
        Explain(reason, reasonSize, path, "cannot create", errno);
        return kErrFileCreate;
    }
    // Removes the temporary file unless it was put in place.
    struct Cleanup {
        const std::string& path;
        bool keep = false;
        ~Cleanup() {
            if (!keep) unlink(path.c_str());
        }
    } cleanup{temporary};

    (void)fchmod(file.get(), 0644);
    if (!WriteAll(file.get(), data, size) || fsync(file.get()) != 0 || !file.Close()) {
        Explain(reason, reasonSize, path, "cannot write", errno);
        return kErrFileWrite;
    }
    if (rename(temporary.c_str(), path) != 0) {
        Explain(reason, reasonSize, path, "cannot replace", errno);
        return kErrFileWrite;
    }
    cleanup.keep = true;
    // Make the rename itself durable.
    Descriptor directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) (void)fsync(directory.get());
    return kResultOk;
}

bool PathExists(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0;
}
