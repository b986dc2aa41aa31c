// Runs the built zelk-helper as a child process with its standard error in a file, waits for
// its lines and its exit, and kills it if a test leaves it running.
#pragma once

#include <fcntl.h>
#if defined(__APPLE__)
#include <libproc.h>
#endif
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zelk::helper::testing {

class Daemon {
public:
    // Starts `program` with `args`; standard error goes to `stderrPath`, standard output to `stdoutPath`.
    Daemon(const std::string& program, const std::vector<std::string>& args, std::string stderrPath,
           const std::string& stdoutPath = "/dev/null")
        : stderrPath_(std::move(stderrPath)) {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ) == 0) pid_ = pid;
        posix_spawn_file_actions_destroy(&fa);
    }
    // Takes over a child started some other way, its standard error already on `stderrPath`.
    Daemon(pid_t pid, std::string stderrPath) : stderrPath_(std::move(stderrPath)), pid_(pid) {}
    ~Daemon() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    std::string stderrText() const {
        std::ifstream in(stderrPath_, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    // Waits until standard error holds `text`; false after `limit`.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (stderrText().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // The exit status once it has exited by itself within `limit`; nullopt otherwise (-1 for a
    // signal).
    std::optional<int> waitExit(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return std::nullopt;
    }

    // Open descriptors of the daemon: libproc's list on macOS, /proc on Linux.
    int openDescriptors() const {
#if defined(__APPLE__)
        std::vector<proc_fdinfo> fds(4096);
        const int bytes = ::proc_pidinfo(pid_, PROC_PIDLISTFDS, 0, fds.data(), static_cast<int>(fds.size() * sizeof fds[0]));
        return bytes > 0 ? bytes / static_cast<int>(sizeof fds[0]) : 0;
#else
        int n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
            ++n;
        return n;
#endif
    }

private:
    std::string stderrPath_;
    pid_t pid_ = -1;
};

}  // namespace zelk::helper::testing
