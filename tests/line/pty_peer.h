// A scripted peer on the master side of a pseudo-terminal, for tests that need
// exact control of every byte the device side sends. The code under test
// opens SlavePath() like any serial port.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame_codec.h"

using Bytes = std::vector<std::uint8_t>;

// Frame of a payload, built with the project's own encoder.
inline Bytes FrameOf(const Bytes& payload) {
    thread_local FrameBuffers buffers;
    std::copy(payload.begin(), payload.end(), buffers.PayloadBuffer);
    const int length = EncodeFrame(buffers, static_cast<int>(payload.size()));
    return Bytes(buffers.TxFrameBuffer, buffers.TxFrameBuffer + length);
}

class PtyPeer {
  public:
    // Called for every frame received (STX..ETX, raw) with its index from 0.
    using Responder = std::function<void(PtyPeer& peer, int index, const Bytes& frame)>;

    PtyPeer() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        slavePath_ = ptsname(master_);
        // Keep one slave descriptor of our own so the master never sees a
        // hang-up between the tool's opens, and make it raw so nothing echoes.
        keeper_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
        termios raw{};
        tcgetattr(keeper_, &raw);
        cfmakeraw(&raw);
        tcsetattr(keeper_, TCSANOW, &raw);
    }
    ~PtyPeer() {
        Stop();
        if (keeper_ >= 0) close(keeper_);
        if (master_ >= 0) close(master_);
    }

    const std::string& SlavePath() const { return slavePath_; }
    int MasterFd() const { return master_; }

    void Start(Responder responder) {
        responder_ = std::move(responder);
        running_ = true;
        thread_ = std::thread([this] { Serve(); });
    }
    void Stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    // Closes the master: the line vanishes as an unplugged adapter would.
    void Unplug() {
        Stop();
        if (keeper_ >= 0) close(keeper_);
        keeper_ = -1;
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    void Send(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
            if (put <= 0) return;
            done += static_cast<std::size_t>(put);
        }
    }

    std::vector<Bytes> Frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    int FrameCount() const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(frames_.size());
    }

  private:
    void Serve() {
        Bytes partial;
        while (running_) {
            pollfd watch{master_, POLLIN, 0};
            if (poll(&watch, 1, 20) <= 0 || (watch.revents & POLLIN) == 0) continue;
            std::uint8_t chunk[4096];
            const ssize_t got = read(master_, chunk, sizeof chunk);
            if (got <= 0) continue;
            for (ssize_t i = 0; i < got; ++i) {
                if (partial.empty() && chunk[i] != kStx) continue;
                partial.push_back(chunk[i]);
                if (chunk[i] != kEtx) continue;
                int index;
                {
                    std::lock_guard lock(mutex_);
                    index = static_cast<int>(frames_.size());
                    frames_.push_back(partial);
                }
                if (responder_) responder_(*this, index, partial);
                partial.clear();
            }
        }
    }

    int master_ = -1;
    int keeper_ = -1;
    std::string slavePath_;
    Responder responder_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Bytes> frames_;
};

// Decodes a request frame into its payload (without checksum).
inline Bytes PayloadOf(const Bytes& frame) {
    thread_local FrameBuffers buffers;
    std::copy(frame.begin(), frame.end(), buffers.RxFrameBuffer);
    int length = 0;
    if (DecodeFrame(buffers, static_cast<int>(frame.size()), length) != 0) return {};
    return Bytes(buffers.PayloadBuffer, buffers.PayloadBuffer + length);
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Waits for a condition another thread brings about, looking every 2 ms for
// at most `bound`, and tells whether it holds. The bound is generous for a
// loaded machine; a wait that ends when the condition holds costs nothing on
// a fast one, where a fixed sleep is both slow and still too short at times.
template <typename Condition>
bool WaitUntil(Condition condition,
               std::chrono::steady_clock::duration bound = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
