// A program run as a child process with its stdout and stderr on pipes, for
// tests that drive vx40 and vx40-sim as a technician's script would.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

struct ChildResult {
    int exitCode = -1;  // 128 + signal when a signal ended it; -1 when it had to be killed
    std::string out;
    std::string err;
};

class ChildProcess {
  public:
    // Starts `program` with `args`; `folder`, when given, is its working folder;
    // `stderrFd`, when given, is its stderr instead of a pipe (a terminal).
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& folder = "", int stderrFd = -1) {
        int outPipe[2];
        int errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0) return;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, stderrFd >= 0 ? stderrFd : errPipe[1],
                                         STDERR_FILENO);
        if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        outFd_ = outPipe[0];
        errFd_ = errPipe[0];
        if (stderrFd >= 0) {
            ::close(errFd_);
            errFd_ = -1;
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) ::close(outFd_);
        if (errFd_ >= 0) ::close(errFd_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    void Signal(int signal) const {
        if (pid_ > 0) ::kill(pid_, signal);
    }
    const std::string& Out() const { return result_.out; }
    const std::string& Err() const { return result_.err; }

    // Collects output until stdout (or stderr) holds `text`; false when the
    // time ran out or the streams ended first.
    bool WaitForOut(const std::string& text, int timeoutMs) {
        return Collect(timeoutMs, [&] { return result_.out.find(text) != std::string::npos; });
    }
    bool WaitForErr(const std::string& text, int timeoutMs) {
        return Collect(timeoutMs, [&] { return result_.err.find(text) != std::string::npos; });
    }

    // Closes the reading ends of stdout and stderr, as a reader that went
    // away does (`| head`, `| less` then q): the child's writes fail from
    // now on.
    void CloseOutput() {
        for (int* fd : {&outFd_, &errFd_}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    // Collects the rest of the output and the exit code; a child still
    // running after `timeoutMs` is killed and reported with -1.
    ChildResult Finish(int timeoutMs) {
        if (pid_ <= 0) return result_;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        bool ended = Collect(timeoutMs, [] { return false; });
        int status = 0;
        // With its streams closed, the child is waited for until the time
        // runs out.
        while (ended && ::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ended = false;
                break;
            }
            ::usleep(10000);
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        if (!ended) {
            result_.exitCode = -1;
        } else if (WIFEXITED(status)) {
            result_.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result_.exitCode = 128 + WTERMSIG(status);
        }
        return result_;
    }

  private:
    // Reads both pipes until `done` holds (true), both streams end (true),
    // or the time runs out (false).
    template <typename Done>
    bool Collect(int timeoutMs, Done done) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (outFd_ < 0 && errFd_ < 0) return true;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) return false;
            pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left)) < 0) return false;
            ReadInto(fds[0], outFd_, result_.out);
            ReadInto(fds[1], errFd_, result_.err);
        }
        return true;
    }
    static void ReadInto(const pollfd& entry, int& fd, std::string& text) {
        if (fd < 0 || entry.revents == 0) return;
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    ChildResult result_;
};

inline ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                            const std::string& folder = "", int timeoutMs = 30000) {
    ChildProcess child(program, args, folder);
    return child.Finish(timeoutMs);
}
