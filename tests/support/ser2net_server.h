// Serial servers on 127.0.0.1 for the network tests: ser2net in front of a
// device path, as technicians run it in front of a real line, a server that
// accepts connections and never says a word, one that takes none, and one
// that plays an RFC 2217 script.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// kSredird: sredird's RFC 2217, started for each connection on its stdin and
// stdout as inetd starts it (here by socat).
enum class ServerKind { kRaw, kRfc2217, kSredird };

// For test names and messages in place of the enum's bytes.
inline void PrintTo(ServerKind kind, std::ostream* out) {
    *out << (kind == ServerKind::kRaw ? "raw TCP" : "RFC 2217");
}

// Where ser2net is installed (Debian puts it in /usr/sbin, which a user's
// PATH may lack); empty when it is not.
inline std::string Ser2netProgram() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(std::string(path == nullptr ? "" : path) +
                               ":/usr/sbin:/usr/local/sbin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string program = folder + "/ser2net";
        if (!folder.empty() && ::access(program.c_str(), X_OK) == 0) return program;
    }
    return {};
}

// A listening TCP socket on 127.0.0.1 with a port the system chose, holding
// up to `backlog` connections that wait to be accepted (Linux takes one
// more); -1 when none could be made. `port` receives the port.
inline int ListenOnLoopback(int& port, int backlog = 8) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A 127.0.0.1 port that nobody listens on now (and, with the system handing
// out ports in turn, for a while yet).
inline int FreeLoopbackPort() {
    int port = 0;
    const int fd = ListenOnLoopback(port);
    if (fd >= 0) ::close(fd);
    return port;
}

// Whether the kernel's table of TCP sockets holds one in `state` whose own
// end (or, with `farEnd`, whose peer) is 127.0.0.1:port.
inline bool TcpSocketOnLoopback(int port, bool farEnd, unsigned state) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        unsigned local = 0;
        unsigned localPort = 0;
        unsigned far = 0;
        unsigned farPort = 0;
        unsigned found = 0;
        if (std::sscanf(line.c_str(), " %*d: %8X:%4X %8X:%4X %2X", &local, &localPort, &far,
                        &farPort, &found) == 5 &&
            (farEnd ? far : local) == htonl(INADDR_LOOPBACK) &&
            static_cast<int>(farEnd ? farPort : localPort) == port && found == state) {
            return true;
        }
    }
    return false;
}

// Whether something listens on 127.0.0.1:port, read from the kernel's table
// rather than by connecting: a probe connection would make ser2net open the
// device and count a user.
inline bool ListeningOnLoopback(int port) {
    return TcpSocketOnLoopback(port, false, 0x0A);  // LISTEN
}

// ser2net serving one device path on a free 127.0.0.1 port, as a raw TCP
// accepter or as Telnet with RFC 2217. The connector sets the line to 9600
// baud, even parity, 7 data bits, 2 stop bits, so that only a client's own
// settings can bring it to the device's 57600 8N1. The server runs in the
// foreground as our child and dies with us, whatever ends the test.
class Ser2netServer {
  public:
    Ser2netServer(std::string devicePath, ServerKind kind)
        : devicePath_(std::move(devicePath)), kind_(kind) {}
    ~Ser2netServer() {
        Stop();
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    Ser2netServer(const Ser2netServer&) = delete;
    Ser2netServer& operator=(const Ser2netServer&) = delete;

    // Writes the configuration, starts ser2net and waits up to 5 s for its
    // port to listen. Once per holder.
    ::testing::AssertionResult Start() {
        const std::string program = Ser2netProgram();
        if (program.empty()) return ::testing::AssertionFailure() << "ser2net is not installed";
        port_ = FreeLoopbackPort();
        folder_ = std::filesystem::temp_directory_path() /
                  ("vx40-ser2net-" + std::to_string(::getpid()) + "-" + std::to_string(port_));
        std::filesystem::create_directories(folder_);
        const std::string config = (folder_ / "ser2net.yaml").string();
        const std::string log = (folder_ / "ser2net.log").string();
        std::ofstream(config) << "%YAML 1.1\n---\nconnection: &vx40\n"
                              << "  accepter: "
                              << (kind_ == ServerKind::kRaw ? "tcp" : "telnet(rfc2217),tcp")
                              << ",127.0.0.1," << port_ << "\n"
                              << "  connector: serialdev," << devicePath_ << ",9600e72,local\n";
        // -u: no UUCP lock file, which a killed server would leave behind
        // for the next test that gets the same pseudo-terminal number.
        std::vector<std::string> args{program, "-n", "-u", "-c", config};
        if (kind_ == ServerKind::kSredird)
            args = {"/usr/bin/socat",
                    "TCP-LISTEN:" + std::to_string(port_) + ",bind=127.0.0.1,fork",
                    "EXEC:/usr/sbin/sredird 5 " + devicePath_ + " " + config + ".lock,nofork"};
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        // fork rather than posix_spawn, for the parent-death signal; only
        // async-signal-safe calls between fork and exec.
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = ::open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0) ::_exit(127);
            ::dup2(in, STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (pid_ < 0) return ::testing::AssertionFailure() << "fork failed";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!ListeningOnLoopback(port_)) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return ::testing::AssertionFailure() << "ser2net ended at start:\n" << Log();
            }
            if (std::chrono::steady_clock::now() > deadline)
                return ::testing::AssertionFailure() << "ser2net did not listen in 5 s:\n" << Log();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return ::testing::AssertionSuccess();
    }

    std::string Url() const {
        return (kind_ == ServerKind::kRaw ? "socket://127.0.0.1:" : "rfc2217://127.0.0.1:") +
               std::to_string(port_);
    }
    // What ser2net printed, for failure messages.
    std::string Log() const {
        std::ifstream in(folder_ / "ser2net.log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // Ends the server at once, as a crash or a pulled network cable would:
    // its connections go without a goodbye.
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Asks it to end, and kills it when it has not within 2 s.
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Kill();
    }

  private:
    std::string devicePath_;
    ServerKind kind_;
    int port_ = 0;
    std::filesystem::path folder_;
    pid_t pid_ = -1;
};

// A server on 127.0.0.1 that accepts every connection and keeps it open
// without sending a byte: a Telnet negotiation with it never completes.
class SilentServer {
  public:
    SilentServer() {
        listener_ = ListenOnLoopback(port_);
        if (listener_ >= 0) thread_ = std::thread([this] { Serve(); });
    }
    ~SilentServer() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        for (const int fd : accepted_)
            ::close(fd);
        if (listener_ >= 0) ::close(listener_);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    bool Listening() const { return listener_ >= 0; }
    int Port() const { return port_; }
    // Waits until at least one connection was accepted; false on time-out.
    bool WaitForConnection(int timeoutMs) const {
        for (int waited = 0; connections_ == 0; waited += 10) {
            if (waited >= timeoutMs) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

  private:
    void Serve() {
        while (!stopping_) {
            pollfd entry{listener_, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            accepted_.push_back(fd);  // the thread's alone until it is joined
            ++connections_;
        }
    }

    int port_ = 0;
    int listener_ = -1;
    std::vector<int> accepted_;
    std::atomic<int> connections_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A server on 127.0.0.1 that takes no connection, as a host behind a
// firewall that drops what comes: it never accepts, and a connection of its
// own fills its queue, so the system drops every further attempt's opening
// (SYN) and a connect there gets no answer at all.
class DeafServer {
  public:
    DeafServer() {
        listener_ = ListenOnLoopback(port_, 0);
        if (listener_ < 0) return;
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (filler_ < 0) return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        int error = ::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
                        ? 0
                        : errno;
        pollfd entry{filler_, POLLOUT, 0};
        socklen_t length = sizeof error;
        if (error == EINPROGRESS && ::poll(&entry, 1, 5000) == 1)
            ::getsockopt(filler_, SOL_SOCKET, SO_ERROR, &error, &length);
        filled_ = error == 0;
    }
    ~DeafServer() {
        if (filler_ >= 0) ::close(filler_);
        if (listener_ >= 0) ::close(listener_);
    }
    DeafServer(const DeafServer&) = delete;
    DeafServer& operator=(const DeafServer&) = delete;

    bool Listening() const { return filled_; }
    int Port() const { return port_; }
    // Waits until someone else's connection to the port is being opened
    // (SYN-SENT in the kernel's table); false on time-out.
    bool WaitForAttempt(int timeoutMs) const {
        for (int waited = 0; !TcpSocketOnLoopback(port_, true, 0x02); waited += 10) {
            if (waited >= timeoutMs) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

  private:
    int port_ = 0;
    int listener_ = -1;
    int filler_ = -1;
    bool filled_ = false;
};

// An RFC 2217 server on 127.0.0.1 that plays a script to the first
// connection: each step waits until the client has sent `awaited` (after
// what the step before matched), then sends `chunks`, each a segment of its
// own, and closes the connection when `close` says so. It notes whether a
// subnegotiation had come before the first step matched: the client's line
// settings must wait for the server's agreement.
class ScriptedServer {
  public:
    struct Step {
        std::vector<std::uint8_t> awaited;
        std::vector<std::vector<std::uint8_t>> chunks;
        bool close = false;
    };

    explicit ScriptedServer(std::vector<Step> script) : script_(std::move(script)) {
        listener_ = ListenOnLoopback(port_);
        if (listener_ >= 0) thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) ::close(listener_);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool Listening() const { return listener_ >= 0; }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    // Valid once the client has closed its end or the server its own.
    bool SubnegotiationBeforeFirstStep() const { return early_; }

  private:
    // Waits up to `timeoutMs` for something to happen on `fd`.
    bool Readable(int fd, int timeoutMs) const {
        for (int waited = 0; !stopping_ && waited < timeoutMs; waited += 20) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) > 0) return true;
        }
        return false;
    }

    void Serve() {
        if (!Readable(listener_, 10000)) return;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::vector<std::uint8_t> received;
        std::size_t matchedTo = 0;
        for (std::size_t s = 0; s < script_.size(); ++s) {
            const Step& step = script_[s];
            for (;;) {
                const auto from = received.begin() + static_cast<std::ptrdiff_t>(matchedTo);
                const auto found =
                    std::search(from, received.end(), step.awaited.begin(), step.awaited.end());
                if (found != received.end() || step.awaited.empty()) {
                    matchedTo = static_cast<std::size_t>(found - received.begin()) +
                                (step.awaited.empty() ? 0 : step.awaited.size());
                    break;
                }
                std::uint8_t buffer[512];
                if (!Readable(fd, 5000)) break;
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                received.insert(received.end(), buffer, buffer + got);
            }
            if (s == 0) {
                const std::uint8_t sb[] = {255, 250};
                early_ = std::search(received.begin(), received.end(), std::begin(sb),
                                     std::end(sb)) != received.end();
            }
            for (const auto& chunk : step.chunks) {
                ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
                // Apart, so that each goes in a segment of its own.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (step.close) break;
        }
        if (script_.empty() || !script_.back().close) {
            // Held open until the client closes it.
            std::uint8_t buffer[512];
            while (Readable(fd, 5000) && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
        }
        ::close(fd);
    }

    std::vector<Step> script_;
    int port_ = 0;
    int listener_ = -1;
    std::atomic<bool> early_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
