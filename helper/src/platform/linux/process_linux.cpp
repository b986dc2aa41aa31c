// The helper's process calls on Linux: its own executable through /proc/self/exe, file times,
// standard error, and the tools it runs with posix_spawn.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/helper_system.hpp"

extern char** environ;

namespace zelk::helper::sys {
namespace {

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnActions {
    posix_spawn_file_actions_t actions{};
    SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};
struct SpawnAttributes {
    posix_spawnattr_t attr{};
    SpawnAttributes() { ::posix_spawnattr_init(&attr); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attr); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

constexpr std::string_view DELETED_SUFFIX = " (deleted)";

}  // namespace

// readlink gives no terminator; an executable unlinked since start shows " (deleted)", and a
// path that no longer exists cannot be watched.
std::optional<std::string> executablePath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
    std::string path(buf, static_cast<std::size_t>(n));
    if (path.size() >= DELETED_SUFFIX.size() && path.ends_with(DELETED_SUFFIX)) return std::string{};
    return path;
}

std::string resolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string{};
}

std::optional<FileTime> modificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileTime{static_cast<std::int64_t>(st.st_mtim.tv_sec), static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

void writeStderr(std::string_view bytes) {
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
}

std::optional<int> spawnTool(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    SpawnActions fa;
    ::posix_spawn_file_actions_addopen(&fa.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&fa.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addclosefrom_np(&fa.actions, STDERR_FILENO + 1);

    // The helper ignores SIGPIPE, and an ignored signal survives exec: give the tool the default.
    SpawnAttributes sa;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&sa.attr, &defaults);
    ::posix_spawnattr_setsigmask(&sa.attr, &none);
    ::posix_spawnattr_setflags(&sa.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    // glibc 2.24 and later report a missing or unrunnable tool here (ENOENT, EACCES).
    if (::posix_spawn(&pid, path.c_str(), &fa.actions, &sa.attr, argv.data(), environ) != 0) return std::nullopt;
    return static_cast<int>(pid);
}

ChildState pollChild(int pid) {
    int status = 0;
    pid_t r;
    do r = ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0) return ChildState::Running;
    if (r < 0) return ChildState::Failed;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ChildState::ExitedZero : ChildState::Failed;
}

void killChild(int pid) {
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace zelk::helper::sys
