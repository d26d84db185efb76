#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "operations/file_access.h"
#include "platform/descriptor_posix.h"

namespace {

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

// The file `path` names once symbolic links are followed, whether or not
// it exists yet: a dangling link leads to the file it would name. Links
// met in the folders on the way need no following, since the folder the
// last name sits in is the same either way. False, with errno set, when a
// link cannot be read or the chain does not end.
bool FollowLinks(const char* path, std::string& target) {
    target = path;
    for (int hops = 0;; ++hops) {
        struct stat info {};
        if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
        if (hops == 40) {  // the system's own limit for a chain of links
            errno = ELOOP;
            return false;
        }
        char next[PATH_MAX];
        const ssize_t length = readlink(target.c_str(), next, sizeof next);
        if (length < 0) return false;
        if (static_cast<std::size_t>(length) == sizeof next) {
            errno = ENAMETOOLONG;
            return false;
        }
        // A relative link is read from the link's own folder.
        const std::size_t slash = target.rfind('/');
        const std::string linkFolder = next[0] == '/' || slash == std::string::npos
                                           ? std::string()
                                           : target.substr(0, slash + 1);
        target = linkFolder + std::string(next, static_cast<std::size_t>(length));
    }
}

// Makes a new file in `folder` (empty: the current folder) under a short
// name, so that a target whose own name is near the system's limit still
// has a neighbour. The mode asked for is the usual 0666, so the system
// applies the umask and any default ACL exactly as for a direct create;
// mkstemp would give 0600. O_EXCL keeps an existing file or a planted link
// from being used; the name (process and count, as on Windows) only has to
// differ from its neighbours.
int CreateTemporary(const std::string& folder, std::string& temporary) {
    static std::atomic<unsigned> made{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[40];
        std::snprintf(name, sizeof name, ".vx40-%lx-%u", static_cast<unsigned long>(getpid()),
                      made.fetch_add(1));
        temporary = folder + name;
        const int fd =
            open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
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
    // Through a symbolic link the file it names is replaced, and the link
    // stays; the temporary file then sits beside that file, so the final
    // rename stays within one file system and is atomic.
    std::string target;
    if (!FollowLinks(path, target)) {
        Explain(reason, reasonSize, path, "cannot create", errno);
        return kErrFileCreate;
    }
    const std::size_t slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);

    // An existing target is refused where opening it for writing would be,
    // rather than quietly replaced by the rename, which only needs the
    // folder to be writable. A folder, a device or a pipe is never replaced.
    struct stat existing {};
    const bool replacing = lstat(target.c_str(), &existing) == 0;
    if (replacing) {
        if (!S_ISREG(existing.st_mode)) {
            Explain(reason, reasonSize, path, "cannot create",
                    S_ISDIR(existing.st_mode) ? EISDIR : EINVAL);
            return kErrFileCreate;
        }
        // The effective ids, as open() would judge them.
        if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
            Explain(reason, reasonSize, path, "cannot create", errno);
            return kErrFileCreate;
        }
    }

    std::string temporary;
    Descriptor file(CreateTemporary(folder, temporary));
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

    // A replaced file keeps its mode; a new one has the mode it was created
    // with, the umask already applied.
    if ((replacing && fchmod(file.get(), existing.st_mode & 07777) != 0) ||
        !WriteAll(file.get(), data, size) || fsync(file.get()) != 0 || !file.Close()) {
        Explain(reason, reasonSize, path, "cannot write", errno);
        return kErrFileWrite;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        Explain(reason, reasonSize, path, "cannot replace", errno);
        return kErrFileWrite;
    }
    cleanup.keep = true;
    // Make the rename itself durable.
    Descriptor directory(
        open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) (void)fsync(directory.get());
    return kResultOk;
}

bool PathExists(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0;
}
