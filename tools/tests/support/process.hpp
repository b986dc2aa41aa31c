// A program run by a test in its own process group, its output in files; the whole group is
// stopped (SIGTERM, then SIGKILL after a grace period) when the guard goes.
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
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zelk::tool::testing {

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The short name of a running process (its executable's file name, cut by the kernel), or "".
inline std::string process_name(pid_t pid) {
#if defined(__APPLE__)
    char name[2 * MAXCOMLEN + 1] = {};
    return ::proc_name(pid, name, sizeof name) > 0 ? std::string(name) : std::string();
#else
    std::string comm = read_text("/proc/" + std::to_string(pid) + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return comm;
#endif
}

class Process {
public:
    Process(std::vector<std::string> argv, const std::string& stdout_path, const std::string& stderr_path,
            int stdout_flags = O_WRONLY | O_CREAT | O_TRUNC) {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, stdout_path.c_str(), stdout_flags, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        pid_t pid = -1;
        if (posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ) == 0) pid_ = pid;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }

    // The exit status once it has exited within `limit` (-1 for a signal); nullopt otherwise.
    std::optional<int> wait_exit(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                ::kill(-pid_, SIGKILL);  // whatever it left in its group
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

    // SIGTERM to the group, up to five seconds for the leader to exit, then SIGKILL.
    void stop() {
        if (pid_ <= 0) return;
        const pid_t group = pid_;
        ::kill(-group, SIGTERM);
        if (!wait_exit(std::chrono::seconds(5))) {
            ::kill(-group, SIGKILL);
            ::waitpid(group, nullptr, 0);
            pid_ = -1;
        }
        ::kill(-group, SIGKILL);
    }

private:
    pid_t pid_ = -1;
};

// Polls `probe` until it returns a value or `limit` passes.
template <class F>
auto poll_for(std::chrono::milliseconds limit, F probe) -> decltype(probe()) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (auto v = probe()) return v;
        if (std::chrono::steady_clock::now() >= deadline) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace zelk::tool::testing
