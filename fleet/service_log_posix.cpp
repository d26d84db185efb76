#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fleet/service_log.h"
#include "platform/descriptor_posix.h"

namespace {

// An environment variable that names an absolute path; empty otherwise (the
// XDG rule: a relative one is ignored).
std::string AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return "";
    return value;
}

}  // namespace

std::string ServiceLogFolder(std::string& problem) {
    std::string state = AbsoluteFromEnvironment("XDG_STATE_HOME");
    if (state.empty()) {
        const std::string home = AbsoluteFromEnvironment("HOME");
        if (home.empty()) {
            problem = "neither XDG_STATE_HOME nor HOME names a folder";
            return "";
        }
        state = home + "/.local/state";
    }
    return state + "/vx40";
}

bool AppendWholeLine(const std::string& path, const std::string& line, std::string& problem) {
    // O_APPEND moves to the end and writes as one step, so a whole line given
    // to one write() lands in one piece after every line before it, whoever
    // wrote those.
    const Descriptor file(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
    if (file.get() < 0) {
        problem = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    ssize_t written;
    do {
        written = ::write(file.get(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        problem = path + ": cannot write: " + std::strerror(errno);
        return false;
    }
    if (static_cast<std::size_t>(written) != line.size()) {
        // Only a full disk cuts a regular file's write short; a second write
        // could land after another process's line, so the line stays cut.
        problem = path + ": only part of the entry was written";
        return false;
    }
    return true;
}
