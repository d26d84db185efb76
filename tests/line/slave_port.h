// The tool's side of a pseudo-terminal, reduced to plain POSIX calls, for
// tests of the simulated device that must not depend on the project's own
// serial channel.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/frame_codec.h"

namespace slave_port {

using Bytes = std::vector<std::uint8_t>;

inline std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Payload of a frame, or nothing when it does not decode.
inline std::optional<Bytes> Decode(const Bytes& frame) {
    auto buffers = std::make_unique<FrameBuffers>();
    if (frame.empty() || frame.size() > kFrameBufferSize) return std::nullopt;
    std::copy(frame.begin(), frame.end(), buffers->RxFrameBuffer);
    int length = 0;
    if (DecodeFrame(*buffers, static_cast<int>(frame.size()), length) != kResultOk)
        return std::nullopt;
    return Bytes(buffers->PayloadBuffer, buffers->PayloadBuffer + length);
}

class SlavePort {
  public:
    explicit SlavePort(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~SlavePort() {
        if (fd_ >= 0) ::close(fd_);
    }
    SlavePort(const SlavePort&) = delete;
    SlavePort& operator=(const SlavePort&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    bool Send(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (put <= 0) return false;
            done += static_cast<std::size_t>(put);
        }
        return true;
    }

    // Bytes up to and including the next ETX; whatever came before the time
    // ran out when none arrived. Bytes after the ETX wait for the next call.
    Bytes ReadFrame(int timeoutMs) {
        const std::int64_t deadline = NowMs() + timeoutMs;
        for (;;) {
            const auto etx = std::find(pending_.begin(), pending_.end(), kEtx);
            if (etx != pending_.end()) {
                Bytes frame(pending_.begin(), etx + 1);
                pending_.erase(pending_.begin(), etx + 1);
                return frame;
            }
            const std::int64_t left = deadline - NowMs();
            if (left <= 0 || !ReadSome(static_cast<int>(left))) {
                Bytes partial;
                partial.swap(pending_);
                return partial;
            }
        }
    }

    // Every read that returned bytes within the time given, one entry each.
    std::vector<Bytes> ReadChunks(int timeoutMs) {
        std::vector<Bytes> chunks;
        const std::int64_t deadline = NowMs() + timeoutMs;
        for (std::int64_t left = timeoutMs; left > 0; left = deadline - NowMs()) {
            const std::size_t before = pending_.size();
            if (!ReadSome(static_cast<int>(left))) break;
            chunks.emplace_back(pending_.begin() + static_cast<std::ptrdiff_t>(before),
                                pending_.end());
        }
        pending_.clear();
        return chunks;
    }

    // Waits for the line to report a hang-up or an error.
    bool HangsUp(int timeoutMs) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) <= 0) return false;
        if ((entry.revents & (POLLHUP | POLLERR)) != 0) return true;
        std::uint8_t byte = 0;
        return ::read(fd_, &byte, 1) <= 0;
    }

  private:
    bool ReadSome(int timeoutMs) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) <= 0 || (entry.revents & POLLIN) == 0) return false;
        std::uint8_t buffer[4096];
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got <= 0) return false;
        pending_.insert(pending_.end(), buffer, buffer + got);
        return true;
    }

    int fd_;
    Bytes pending_;
};

}  // namespace slave_port
