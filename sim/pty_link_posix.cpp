#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim/pty_link.h"

namespace {

// Owns one file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

std::string Reason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Waits for `events` on fd, retrying interrupted waits. >0 ready, 0 timed out,
// -1 failed or the other side is gone.
int WaitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return ready;
        if ((entry.revents & events) != 0) return 1;
        return -1;  // POLLHUP, POLLERR or POLLNVAL without the wanted event
    }
}

}  // namespace

struct PtyLink::Handles {
    UniqueFd master;
    // The device keeps its own descriptor of the slave for the life of the
    // link. Without it the master sees a hang-up (reads fail with EIO) every
    // time the tool closes the port, and the terminal settings made here
    // would be reset on the tool's last close.
    UniqueFd slave;
};

PtyLink::PtyLink() : handles_(std::make_unique<Handles>()) {}

PtyLink::~PtyLink() {
    Close();
}

bool PtyLink::Open() {
    Close();
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.Valid()) {
        lastError_ = Reason("posix_openpt");
        return false;
    }
    if (::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        lastError_ = Reason("grantpt/unlockpt");
        return false;
    }
    char name[128];
    if (::ptsname_r(master.Get(), name, sizeof name) != 0) {
        lastError_ = Reason("ptsname_r");
        return false;
    }
    UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.Valid()) {
        lastError_ = Reason("open slave");
        return false;
    }
    termios settings{};
    if (::tcgetattr(slave.Get(), &settings) != 0) {
        lastError_ = Reason("tcgetattr");
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&settings, B57600);
    ::cfsetospeed(&settings, B57600);
    if (::tcsetattr(slave.Get(), TCSANOW, &settings) != 0) {
        lastError_ = Reason("tcsetattr");
        return false;
    }
    // Writes must never block the serving thread: when nobody reads the slave
    // its queue fills, and the writer gives up after its own time limit.
    const int flags = ::fcntl(master.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        lastError_ = Reason("fcntl");
        return false;
    }
    handles_->master.Reset(master.Release());
    handles_->slave.Reset(slave.Release());
    slavePath_ = name;
    lastError_.clear();
    return true;
}

void PtyLink::Close() {
    // The master first: the tool's descriptor sees the hang-up at once.
    handles_->master.Reset();
    handles_->slave.Reset();
}

bool PtyLink::IsOpen() const {
    return handles_->master.Valid();
}

int PtyLink::Read(std::uint8_t* buffer, std::size_t size, int timeoutMs) {
    if (!IsOpen()) return -1;
    const int ready = WaitFor(handles_->master.Get(), POLLIN, timeoutMs);
    if (ready <= 0) return ready;
    for (;;) {
        const ssize_t got = ::read(handles_->master.Get(), buffer, size);
        if (got >= 0) return static_cast<int>(got);
        if (errno == EINTR) continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

int PtyLink::Write(const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
    if (!IsOpen()) return -1;
    std::size_t written = 0;
    while (written < count) {
        const ssize_t put = ::write(handles_->master.Get(), bytes + written, count - written);
        if (put > 0) {
            written += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN) return -1;
        const int ready = WaitFor(handles_->master.Get(), POLLOUT, timeoutMs);
        if (ready < 0) return -1;
        if (ready == 0) break;  // nobody takes the bytes; what was not written is lost
    }
    return static_cast<int>(written);
}
